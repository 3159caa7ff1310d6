// The upgrade path of the fleet: each instrument made on the version before
// the path's first release, then every previous medium installed on it in
// order by a real run of the updater (answer yes), so that the medium
// checked meets the flash, CRC files, logs and versions the field has.
#ifndef SWSIM_UPGRADE_PATH_H
#define SWSIM_UPGRADE_PATH_H

#include <string>

#include "MediumCheck.h"

namespace swsim {

struct CreateOptions;
struct InstrumentKind;

// A previous medium did not install on an instrument: not judged.
constexpr int kPathNotInstalled = 3;

// The versions an instrument is made with when there is a path.
void StartOfPath(const FleetOptions& o, CreateOptions* co);

// Installs the previous media of `o` on the instrument made in `state`,
// following each one's writing in *kind (the layout the end state is
// judged against), then sets the versions the instrument's line names when
// they differ from the path's last and damages the logs it names. Returns 0; kPathNotInstalled with
// *failed naming the medium and why; 2 when no instrument root can be made,
// 1 for other failures (*why).
int InstallPath(const FleetInstrument& inst, const std::string& state, const FleetOptions& o, InstrumentKind* kind,
                std::string* failed, std::string* why);

}  // namespace swsim

#endif
