// SPDX-License-Identifier: GPL-3.0-or-later
// The report as one self-contained HTML page: no script, nothing fetched from anywhere. The tape's
// timeline (recordings and blanks), for each recording its bit rate over time as SVG with the
// dropouts marked, still pictures when there are any, the dropouts and the events as tables,
// and the verdict in words.
#pragma once

#include <string>

#include "recording/report.h"

namespace tessaline {

std::string ReportHtml(const Report& report, const std::string& title);

// The verdict in a sentence or two, for the page and for the command line.
std::string VerdictWords(const Report& report);

std::string HtmlEscape(std::string_view text);
std::string Base64(std::string_view bytes);

}  // namespace tessaline
