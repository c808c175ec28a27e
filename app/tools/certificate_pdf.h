// The certificate of a calibration record: one A4 page in Chinese with the
// fixture, the port, the time, the operator and the reference meter, the
// table of points with their errors and verdicts, and the outcome.
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
