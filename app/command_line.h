// CCommandLine: the program's command line as blank-separated key/value pairs.
//
// The keys the window knows are "-com" (the COM port to offer first) and "-verify" (0: a complete
// load is not verified); every other pair is ignored, and so is a last word without a partner.
// Nothing about the command line is ever reported to the user: a word the program does not
// understand simply has no effect.
#pragma once

#include "platform/text.h"

namespace morvane {

class SLoaderState;

// Cuts text at every occurrence of separator and appends the pieces to out (never cleared).
// Empty pieces between separators are kept only with keepEmpty; an empty last piece never is.
// An empty separator stands for ",".
void SplitText(const CString& text, const CString& separator, CStringArray& out, bool keepEmpty);

class CCommandLine {
public:
    // The process's own command line. argv[0] is the program's path and stays one token
    // whatever it holds: a folder with a blank in its name must not shift the pairs.
    CCommandLine(int argc, const char* const* argv);
    // The same from the path and the words after it as one text.
    CCommandLine(const CString& programPath, const CString& arguments);

    // The first pair (tokens 1 and 2); false, with key and value untouched, when there is none.
    bool GetFirstPair(CString& key, CString& value);
    // The pair after the one handed out last; false when no complete pair is left.
    bool GetNextPair(CString& key, CString& value);

    [[nodiscard]] const CString& GetCommandLineText() const { return m_strCommandLine; }
    [[nodiscard]] const CStringArray& GetTokens() const { return m_tokens; }

private:
    CString m_strCommandLine;  // path and arguments, white space around the whole removed
    CStringArray m_tokens;     // token 0 the path, then the arguments cut at blanks
    int m_nNext = 1;           // index of the next token to hand out as a key
};

// What the command line asks of the window beyond its start port.
struct SWindowOptions {
    bool verifyAfterLoad = true;
};

// Walks the pairs and stores the last usable "-com" value as the record's start port. The
// value is read like atoi; 0 (no digits) and -1 (the record's "no port") leave it alone.
// "-verify 0" turns the verification off and "-verify 1" on again (the last pair wins); any
// other value is ignored, as every word the window does not know.
SWindowOptions ApplyCommandLine(CCommandLine& commandLine, SLoaderState& state);

}  // namespace morvane
