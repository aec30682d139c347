#include "systemsurvey/systemsurveycreator.h"

namespace systemsurvey {

TSystemSurveyCreator::TSystemSurveyCreator(std::shared_ptr<TSystemSurveyValueRetriever> ValueRetriever)
    : valueRetriever(std::move(ValueRetriever))
{ }

TSystemSurveyCreator::~TSystemSurveyCreator() = default;

TSystemSurvey TSystemSurveyCreator::create()
{
    TSystemSurvey survey;
    // Screens without an area (switched off, being set up) are not described.
    for (const TMonitorInfo& monitor : valueRetriever->monitors()) {
        if (monitor.width != 0 && monitor.height != 0)
            survey.monitors.push_back(monitor);
    }
    survey.operatingSystem = valueRetriever->operatingSystem();
    survey.mainMemorySize = valueRetriever->mainMemorySize();
    survey.cpu = valueRetriever->cpu();
    survey.gpus = valueRetriever->gpus();
    return survey;
}

} // namespace systemsurvey
