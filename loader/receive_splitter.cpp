#include "loader/receive_splitter.h"

namespace morvane {

void CReceiveSplitter::Feed(const char* buffer, int n) {
    if (chunkSink_ == nullptr) return;
    chunkSink_->Execute(n > 0 ? CString(buffer, static_cast<CString::size_type>(n)) : CString());
}

}  // namespace morvane
