#include "app/command_line.h"

#include <cstddef>
#include <string_view>

#include "record/loader_state.h"

namespace morvane {
namespace {

bool IsWhiteSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

CString Trim(std::string_view text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && IsWhiteSpace(text[begin])) ++begin;
    while (end > begin && IsWhiteSpace(text[end - 1])) --end;
    return CString(text.substr(begin, end - begin));
}

}  // namespace

void SplitText(const CString& text, const CString& separator, CStringArray& out, bool keepEmpty) {
    const CString sep = separator.empty() ? CString(",") : separator;
    std::size_t start = 0;
    for (std::size_t found = text.find(sep, start); found != CString::npos;
         found = text.find(sep, start)) {
        if (found > start || keepEmpty) out.push_back(text.substr(start, found - start));
        start = found + sep.size();
    }
    if (start < text.size()) out.push_back(text.substr(start));
}

CCommandLine::CCommandLine(int argc, const char* const* argv)
    : CCommandLine(argc > 0 && argv[0] != nullptr ? CString(argv[0]) : CString(), [&] {
          CString words;
          for (int i = 1; i < argc; ++i) {
              if (i > 1) words += ' ';
              words += argv[i];
          }
          return words;
      }()) {}

CCommandLine::CCommandLine(const CString& programPath, const CString& arguments) {
    const CString words = Trim(arguments);
    m_strCommandLine = Trim(words.empty() ? programPath : programPath + " " + words);
    m_tokens.push_back(programPath);
    SplitText(words, " ", m_tokens, false);
    m_nNext = 1;
}

bool CCommandLine::GetFirstPair(CString& key, CString& value) {
    if (m_tokens.size() < 3) return false;
    key = m_tokens[1];
    value = m_tokens[2];
    m_nNext = 3;
    return true;
}

bool CCommandLine::GetNextPair(CString& key, CString& value) {
    const auto next = static_cast<std::size_t>(m_nNext);
    if (next + 1 >= m_tokens.size()) return false;
    key = m_tokens[next];
    value = m_tokens[next + 1];
    m_nNext += 2;
    return true;
}

SWindowOptions ApplyCommandLine(CCommandLine& commandLine, SLoaderState& state) {
    SWindowOptions options;
    CString key;
    CString value;
    for (bool more = commandLine.GetFirstPair(key, value); more;
         more = commandLine.GetNextPair(key, value)) {
        if (EqualsNoCase(key, "-verify")) {
            if (value == "0" || value == "1") options.verifyAfterLoad = value == "1";
            continue;
        }
        if (!EqualsNoCase(key, "-com")) continue;
        // 0 is no number at all. -1 is the record's "no port", so "-com -1" undoes an earlier
        // "-com": the last pair wins as with any other number.
        const int port = AtoI(value);
        if (port != 0) state.SetStartPort(port);
    }
    return options;
}

}  // namespace morvane
