// CCommandProcessor: everything the loader reads from the receiver goes through here.
//
// Each received text is framed into sentences whose replies land in the load progress record
// (">JI" raises replySeen, and so on), and is then searched for one of the version replies of
// the receiver family, which names the firmware on the device. One processor serves one load.
#pragma once

#include "parsers/nmea_string_dispatcher.h"
#include "parsers/reply_parsers.h"
#include "platform/text.h"
#include "record/loader_state.h"

namespace morvane {

class CCommandProcessor {
public:
    explicit CCommandProcessor(SLoaderState* state);
    CCommandProcessor(const CCommandProcessor&) = delete;
    CCommandProcessor& operator=(const CCommandProcessor&) = delete;

    // Every character through the framer, then the whole text through CheckFirmwareVersion.
    // Never throws: a malformed reply is given up and the framer goes on.
    void OnReceive(CString text) noexcept;

    // Looks for a version reply in one received text; when one is there, publishes a short
    // version text as firmwareText and raises firmwareDetected.
    void CheckFirmwareVersion(const CString& text);

    // The framer, for tests that look at its state.
    [[nodiscard]] const CNmeaStringDispatcher& GetDispatcher() const { return dispatcher_; }

private:
    SLoaderState* loaderState_;
    CNmeaStringDispatcher dispatcher_;
    CJappNmeaStringParser jappParser_;
    CJINmeaStringParser jiParser_;
    CJWaasPRNNmeaStringParser waasPrnParser_;
    CJShowNmeaStringParser jshowParser_;
    CW6LoaderNmeaStringParser bootLoaderParser_;
};

}  // namespace morvane
