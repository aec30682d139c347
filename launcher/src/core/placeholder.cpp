int korvaneCorePlaceholder() { return 0; }
