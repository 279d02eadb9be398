// The window's command line: any words after the program's path, as a shortcut or a script may
// give them.
//
// Input: the program's path up to the first line feed, then the words as one text.
#include "app/command_line.h"
#include "fuzz/fuzz_support.h"
#include "record/loader_state.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace morvane;
    using namespace morvane::fuzz;
    CInput input(data, size);
    const CString programPath(input.Until('\n'));
    const CString arguments(input.Rest());

    CCommandLine commandLine(programPath, arguments);
    const CStringArray& tokens = commandLine.GetTokens();
    // The path stays one token, whatever it holds; the words are cut at blanks, never empty.
    FUZZ_CHECK(!tokens.empty() && tokens[0] == programPath);
    for (std::size_t i = 1; i < tokens.size(); ++i) {
        FUZZ_CHECK(!tokens[i].empty());
        FUZZ_CHECK(tokens[i].find(' ') == CString::npos);
    }

    // The pairs come out in order, each once, and the walk ends.
    CString key;
    CString value;
    std::size_t pairs = 0;
    for (bool more = commandLine.GetFirstPair(key, value); more;
         more = commandLine.GetNextPair(key, value)) {
        FUZZ_CHECK(key == tokens[1 + 2 * pairs] && value == tokens[2 + 2 * pairs]);
        ++pairs;
    }
    FUZZ_CHECK(pairs == (tokens.size() - 1) / 2);

    // The start port is either left alone or the number of some "-com" value.
    SLoaderState state;
    CCommandLine again(programPath, arguments);
    ApplyCommandLine(again, state);
    const std::int32_t port = state.GetStartPort();
    if (port != -1) {
        bool named = false;
        for (std::size_t i = 1; i + 1 < tokens.size(); i += 2)
            named = named || (EqualsNoCase(tokens[i], "-com") && AtoI(tokens[i + 1]) == port);
        FUZZ_CHECK(named);
    }
    return 0;
}
