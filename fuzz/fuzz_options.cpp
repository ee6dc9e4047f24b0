// The option parser over argument vectors: the input split at zero bytes into arguments.
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "cli/Options.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::Folders();
    std::vector<std::string> words(1, "korva2csv");
    words.emplace_back();
    for (size_t i = 0; i < size; i++) {
        if (data[i] == 0)
            words.emplace_back();
        else
            words.back().push_back((char)data[i]);
    }
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    static tagSETTINGS settings;
    settings = tagSETTINGS{};
    ProcessCommandLine((int)words.size(), argv.data(), &settings);
    return 0;
}
