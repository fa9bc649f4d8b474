#pragma once

// Failure reports: one line each on standard error, which is a service's
// journal. Every program of the package reports through this one category
// (QT_LOGGING_RULES="gdserver.failure=false" silences it).

#include <QLoggingCategory>
#include <QString>

namespace gd {

Q_DECLARE_LOGGING_CATEGORY(lcFailure)

// One report: what failed and why, as one line (line breaks become blanks).
void ReportFailure(const QString& text);

// Qt's messages, the reports included, as "PROGRAM: TEXT" on standard error.
// Called once the application object exists (its name is the program's).
void InstallMessageFormat();

} // namespace gd
