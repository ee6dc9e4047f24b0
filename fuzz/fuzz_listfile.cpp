// A whole cabinet list file through the -M conversion.
#include <cstdint>

#include "FuzzSupport.h"
#include "cabinets/Cabinet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::Scratch& scratch = fuzzsupport::Folders();
    fuzzsupport::WriteInput(scratch.in + "F.LST", data, size);
    ProcessMetadataFile(fuzzsupport::Settings(), "F.LST", &scratch.log);
    fuzzsupport::Empty(scratch.out);
    return 0;
}
