#pragma once
// Which route a job takes. A source that its reader hands out row by row (formats/row_reader.h)
// with an output written by rows (not progressive JPEG) is composed band by band
// (imagefiles/compose_rows.h): the job never holds the source or the result whole, and is bound
// by the formats' sizes and its bands' memory, not by the whole-picture pixel limit. Every other
// job loads the source into its slot, composes it there and writes the result slot.
// GLIMBRA_ROW_ROUTE=0 in the environment sends every job the whole-picture way (to compare).

#include <string>

#include "compose/slots.h"
#include "formats/row_reader.h"
#include "imagefiles/save_result.h"

namespace cli {

// Off when GLIMBRA_ROW_ROUTE is 0.
bool RowRouteEnabled();

// The row reader for source when the job takes the row route; reader null otherwise. A status
// that failed is a refusal of the source (reported as it, whatever the route).
formats::RowSource OpenRowRoute(const std::string& source, const std::string& ext,
                                const imagefiles::OutputSettings& settings);

// Runs a job on the row route with the texture that slots.picLoad[1] holds. Reports its own
// failure, naming the source or the output.
bool ComposeByRows(formats::RowReader& reader, const compose::SlotSet& slots, std::int16_t tile,
                   const std::string& source, const std::string& output, const std::string& ext,
                   const imagefiles::OutputSettings& settings);

}  // namespace cli
