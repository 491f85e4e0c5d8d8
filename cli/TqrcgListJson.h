// `tqrcg list --json`: every listed group as one JSON object in an array.
// The only unit that compiles the JSON library.
#pragma once

#include <string>

#include "rcg/RcgRecord.h"

namespace tqrcg {

using TqRcgCtrllr::RecordedFigures;

// One object per group: numbers carry their unit in the field name; a figure
// that could not be read, or that the group lacks (no cap), is null.
// "properties" holds every property by name, each with the value "asked"
// (as remembered) and the one the "kernel" holds (in the property's terms:
// bytes, a weight, a share in percent, a processor list or "max").  ASCII
// only, two spaces of indent, ending in a newline.
std::string FormatListJson(const RecordedFigures& figures);

}  // namespace tqrcg
