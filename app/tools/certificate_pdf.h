// The certificate of a calibration record: A4 in Chinese with the fixture,
// the port, the time, the operator and the reference meter, the table of
// points with their errors and verdicts, the outcome and the signature
// lines. One page as a rule; what does not fit goes on to further pages,
// each numbered "第 x 页 共 y 页" (laid out by app/tools/page_flow.h).
#pragma once

#include <QByteArray>
#include <QString>

#include "engine/calibration_record.h"

namespace app {

// The PDF file's bytes.
QByteArray RenderCertificate(const engine::CalibrationRecord& record);

// What the certificate and the records window say.
QString KindText(const engine::CalibrationRecord& record);
QString KindText(const std::string& kind);       // "calibration" / "verification"
QString VerdictText(const std::string& result);  // "written", "pass", ...

}  // namespace app
