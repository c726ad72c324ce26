#include "cli/row_route.h"

#include <cstdlib>
#include <cstring>

#include "cli/messages.h"
#include "imagefiles/compose_rows.h"

namespace cli {

bool RowRouteEnabled() {
    const char* value = std::getenv("GLIMBRA_ROW_ROUTE");
    return !(value && std::strcmp(value, "0") == 0);
}

formats::RowSource OpenRowRoute(const std::string& source, const std::string& ext,
                                const imagefiles::OutputSettings& settings) {
    if (!RowRouteEnabled() || !imagefiles::WritesByRows(ext, settings)) return {};
    return formats::OpenRowReader(source);
}

bool ComposeByRows(formats::RowReader& reader, const compose::SlotSet& slots, std::int16_t tile,
                   const std::string& source, const std::string& output, const std::string& ext,
                   const imagefiles::OutputSettings& settings) {
    const imagefiles::RowJobResult result = imagefiles::ComposeRowsToFile(
        reader, slots.picLoad[1].Image(), tile, output, ext, settings);
    if (result.status) return true;
    if (!result.status.cancelled()) Fail(result.sourceFailed ? source : output, result.status.reason());
    return false;
}

}  // namespace cli
