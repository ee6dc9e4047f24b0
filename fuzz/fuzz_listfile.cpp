// A whole cabinet list file through the -M conversion (as CSV for even sizes, Parquet for odd),
// then read again as the list the data files are joined to: every cabinet it keeps must be
// found again by its own name.
#include <cstdint>
#include <cstdlib>

#include "FuzzSupport.h"
#include "cabinets/Cabinet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::Scratch& scratch = fuzzsupport::Folders();
    std::string path = scratch.in + "F.LST";
    fuzzsupport::WriteInput(path, data, size);
    tagSETTINGS& s = fuzzsupport::Settings();
    s.bParquet = s.bClean = size & 1;
    ProcessMetadataFile(s, "F.LST", &scratch.log);
    tagCABINETS cabinets;
    if (LoadCabinets(path.c_str(), &cabinets, &scratch.log))
        for (const tagCABINETMETADATA& cabinet : cabinets.records)
            if (!FindCabinet(cabinets, cabinet.szDeviceName)) abort();
    fuzzsupport::Empty(scratch.out);
    return 0;
}
