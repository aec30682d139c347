#include "systemsurvey/systemsurveyasjsondocumentcreator.h"

#include "systemsurvey/systemsurveycreator.h"
#include "systemsurvey/systemsurveytojsonconverter.h"

namespace systemsurvey {

TSystemSurveyAsJsonDocumentCreator::TSystemSurveyAsJsonDocumentCreator(
    std::shared_ptr<TSystemSurveyCreator> SurveyCreator, std::shared_ptr<TSystemSurveyToJsonConverter> JsonConverter)
    : surveyCreator(std::move(SurveyCreator))
    , jsonConverter(std::move(JsonConverter))
{ }

TSystemSurveyAsJsonDocumentCreator::~TSystemSurveyAsJsonDocumentCreator() = default;

QJsonDocument TSystemSurveyAsJsonDocumentCreator::create()
{
    return jsonConverter->convert(surveyCreator->create());
}

} // namespace systemsurvey
