#pragma once

#include "systemsurvey/systemsurveyvalueretriever.h"

#include <QtGlobal>

#include <memory>
#include <vector>

namespace systemsurvey {

// What the hardware survey reports about the machine.
struct TSystemSurvey
{
    std::vector<TMonitorInfo> monitors;
    TOperatingSystemInfo operatingSystem;
    qint64 mainMemorySize = 0;
    TCpuInfo cpu;
    std::vector<TGpuInfo> gpus;
};

// Asks the retriever for each value once and assembles the survey.
class TSystemSurveyCreator
{
public:
    explicit TSystemSurveyCreator(std::shared_ptr<TSystemSurveyValueRetriever> ValueRetriever);
    virtual ~TSystemSurveyCreator();

    virtual TSystemSurvey create();

    std::shared_ptr<TSystemSurveyValueRetriever> valueRetriever;
};

} // namespace systemsurvey
