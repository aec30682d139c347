int korvaneSharedPlaceholder() { return 0; }
