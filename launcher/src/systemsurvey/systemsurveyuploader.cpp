#include "systemsurvey/systemsurveyuploader.h"

#include "shared/jsondocumenthttppostsender.h"
#include "systemsurvey/systemsurveyasjsondocumentcreator.h"

namespace systemsurvey {

TSystemSurveyUploader::TSystemSurveyUploader(std::shared_ptr<shared::TJsonDocumentHttpPostSender> Sender,
    const QUrl& SurveyUrl, std::shared_ptr<TSystemSurveyAsJsonDocumentCreator> DocumentCreator)
    : TJsonDocumentUploaderBase(std::move(Sender))
    , surveyUrl(SurveyUrl)
    , documentCreator(std::move(DocumentCreator))
{ }

TSystemSurveyUploader::~TSystemSurveyUploader() = default;

void TSystemSurveyUploader::uploadSurvey()
{
    // A missing part is reported like a failed upload instead of being dereferenced; the machine is not
    // measured for a document that cannot be sent.
    if (!sender || !documentCreator) {
        errorString
            = sender ? QStringLiteral("No survey document to upload") : QStringLiteral("No sender for the upload");
        errorCode = 0;
        emit finished(false, QJsonDocument());
        return;
    }
    sender->post(surveyUrl, documentCreator->create());
}

} // namespace systemsurvey
