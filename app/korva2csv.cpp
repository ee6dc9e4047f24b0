// Entry point of the converter; the run itself lives in the library.
#include "cli/Run.h"

int main(int argc, char* argv[]) {
    return RunConverter(argc, argv);
}
