#include "cli/port_rows.h"

#include <algorithm>

#include "platform/text.h"
#include "record/loader_status.h"

namespace morvane {

std::string CPortRows::Row(const std::string& port, const SStatusArea& area,
                           const SLoaderState& state) {
    std::string row = Format("%-8s %-26s", port.c_str(), StatusWords(area.status).c_str());
    if (state.GetTotalBytes() != 0) {
        row += Format(" %4s", area.percent.c_str());
        if (state.GetStatus() == STATUS_UPDATING_FIRMWARE) row += "  " + area.remainingTime;
    } else if (area.firmwareOnDevice != kFirmwareOnDeviceStartText) {
        row += "  " + area.firmwareOnDevice;
    }
    // The firmware text is the receiver's: it may hold anything.
    return Fit(std::move(row));
}

std::string CPortRows::Fit(std::string row) {
    std::replace_if(
        row.begin(), row.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }, ' ');
    if (row.size() > kWidth) {
        std::size_t cut = kWidth;
        while (cut > 0 && (static_cast<unsigned char>(row[cut]) & 0xC0) == 0x80) --cut;
        row.resize(cut);
    }
    return row;
}

CPortRows::Line* CPortRows::Find(std::size_t id) {
    const auto at =
        std::find_if(lines_.begin(), lines_.end(), [id](const Line& l) { return l.id == id; });
    return at == lines_.end() ? nullptr : &*at;
}

void CPortRows::Add(std::size_t id, const std::string& port) {
    const auto kept = std::find_if(lines_.begin(), lines_.end(),
                                   [&port](const Line& l) { return l.port == port; });
    if (kept == lines_.end()) {
        lines_.push_back({id, port, {}, port});
    } else {
        *kept = {id, port, {}, port};
    }
    dirty_ = true;
}

void CPortRows::Set(std::size_t id, const std::string& text) {
    Line* line = Find(id);
    if (line == nullptr) return;
    line->text = Fit(Format("%-8s ", line->port.c_str()) + text);
    dirty_ = true;
}

void CPortRows::Pass(std::size_t id, const SLoaderState& state) {
    Line* line = Find(id);
    if (line == nullptr) return;
    line->view.Show(state);
    std::string text = Row(line->port, line->view.Area(), state);
    if (text == line->text) return;
    line->text = std::move(text);
    dirty_ = true;
}

void CPortRows::Clear() {
    if (drawnLines_ != 0) out_ << Format("\x1b[%zuA\r\x1b[J", drawnLines_) << std::flush;
    drawnLines_ = 0;
    dirty_ = true;
}

void CPortRows::Remove(std::size_t id) {
    const Line* line = Find(id);
    if (line == nullptr) return;
    Clear();
    out_ << line->text << '\n';
    std::erase_if(lines_, [id](const Line& l) { return l.id == id; });
}

void CPortRows::Draw() {
    if (!dirty_ && drawnLines_ != 0) return;
    if (drawnLines_ != 0) out_ << Format("\x1b[%zuA", drawnLines_);
    for (const Line& line : lines_) out_ << '\r' << line.text << "\x1b[K\n";
    out_.flush();
    dirty_ = false;
    drawnLines_ = lines_.size();
}

}  // namespace morvane
