// The certificate of a calibration record: A4 in Chinese with its number,
// the program's version, the fixture, the port, the channel and the
// transmitter, the time, the operator, the reference meter (model, serial
// number, due date, accuracy), the table of points with their errors, the
// expanded uncertainty and verdicts, a calibration's as-left table, the
// decision rule, the outcome, the next due date and the signature lines with
// their dates. One page as a rule; what does not fit goes on to further
// pages, each numbered "第 x 页 共 y 页" (laid out by app/tools/page_flow.h).
#pragma once

#include <QByteArray>
#include <QString>

#include "engine/calibration_record.h"

namespace app {

struct CertificateOptions {
    // A demo run's certificate: a diagonal watermark on every page says it
    // is none.
    bool demo = false;
};

// The PDF file's bytes.
QByteArray RenderCertificate(const engine::CalibrationRecord& record,
                             const CertificateOptions& options = {});

// An error as the certificate prints it: three decimals, signed ("+0.081",
// "-0.002", "0.000"), halves away from zero.
QString ErrorFigure(double value);
// An expanded uncertainty in mA to 0.0001, rounded up ("0.0052").
QString UncertaintyFigure(double value);

// What the certificate and the records window say.
QString KindText(const engine::CalibrationRecord& record);
QString KindText(const std::string& kind);       // "calibration" / "verification"
QString VerdictText(const std::string& result);  // "written", "pass", ...

}  // namespace app
