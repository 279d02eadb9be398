#include <sys/uio.h>
// Where in our source a record was sent from tells an administrator nothing.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <cstring>
#include <systemd/sd-journal.h>

#include "session/system_log.h"

namespace morvane {

std::string SendToSystemLog(const SLoadRecord& record) {
    // The vector form, not the printf one: a receiver's or an adapter's text may hold any byte,
    // a line feed or a '%' included, and the journal takes each field as it stands.
    std::vector<std::string> fields = JournalFields(record);
    std::vector<iovec> parts;
    parts.reserve(fields.size());
    for (std::string& field : fields) parts.push_back({field.data(), field.size()});
    const int result = sd_journal_sendv(parts.data(), static_cast<int>(parts.size()));
    if (result < 0) return std::string("the system's journal: ") + std::strerror(-result);
    return {};
}

}  // namespace morvane
