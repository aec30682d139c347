#pragma once

#include "shared/jsondocumentuploaderbase.h"

#include <QUrl>

#include <memory>

namespace shared {
class TJsonDocumentHttpPostSender;
}

namespace systemsurvey {

class TSystemSurveyAsJsonDocumentCreator;

// Builds the survey document and posts it once to the survey endpoint; the reply is judged and reported
// by the base's finished.
class TSystemSurveyUploader : public shared::TJsonDocumentUploaderBase
{
public:
    TSystemSurveyUploader(std::shared_ptr<shared::TJsonDocumentHttpPostSender> Sender, const QUrl& SurveyUrl,
        std::shared_ptr<TSystemSurveyAsJsonDocumentCreator> DocumentCreator);
    ~TSystemSurveyUploader() override;

    // Measures the machine (blocking) and starts the POST, which returns at once.
    virtual void uploadSurvey();

    QUrl surveyUrl;
    std::shared_ptr<TSystemSurveyAsJsonDocumentCreator> documentCreator;
};

} // namespace systemsurvey
