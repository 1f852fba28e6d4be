// The name of the station that runs the program, as the suite's system file gives it; read
// wherever the window title is made (start-up, purge of the incidents).
#pragma once

#include <QString>

namespace Lib_Public {

// Name of the station that runs the program, for the window title: key "Nom_Station" of
// section "Base_01" of the suite system file Sites[0].FichierSysteme, or, when that is
// blank, the same key of section "Site". Blanks trimmed and control characters removed;
// "" when the suite names no station (the title then ends in " - "). Never fails.
QString NomStation();

} // namespace Lib_Public
