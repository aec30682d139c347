#pragma once

#include <QJsonDocument>

#include <memory>

namespace systemsurvey {

class TSystemSurveyCreator;
class TSystemSurveyToJsonConverter;

// Measures the machine and returns the survey document.
class TSystemSurveyAsJsonDocumentCreator
{
public:
    TSystemSurveyAsJsonDocumentCreator(std::shared_ptr<TSystemSurveyCreator> SurveyCreator,
        std::shared_ptr<TSystemSurveyToJsonConverter> JsonConverter);
    virtual ~TSystemSurveyAsJsonDocumentCreator();

    virtual QJsonDocument create();

    std::shared_ptr<TSystemSurveyCreator> surveyCreator;
    std::shared_ptr<TSystemSurveyToJsonConverter> jsonConverter;
};

} // namespace systemsurvey
