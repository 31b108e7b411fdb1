#pragma once

#include "ControllerNames.h"
#include "EventLogRow.h"
#include "FoldedSearch.h"

#include "core/Event.h"

#include <QByteArray>

#include <array>
#include <optional>
#include <unordered_map>

namespace Warden {

// What the Event Log shows of the store. Every condition set must hold.
struct EventLogFilter {
    // The controller's name as the log shows it; empty: every controller.
    QByteArray controller;
    std::optional<Business::EventKind> kind;
    // Found in the ID, controller, type, reason, raw text or transport, letters of either case alike.
    // The time is not searched: its text would be built for every event of the store.
    QByteArray text;
    // Our own checks' logins are most of the logins a controller logs; the reports still take them.
    bool hideOwnPolling = true;

    // Every event this filter lets through, `wider` lets through too: narrowing needs only the events
    // shown already, not the whole store.
    bool narrows(const EventLogFilter& wider) const;

    bool operator==(const EventLogFilter&) const = default;

    // Applies a filter to one event after another; what depends on the controller, kind or transport
    // alone is decided once for each.
    class Matcher {
    public:
        Matcher(const EventLogFilter& filter, ControllerNames& names);
        // Reads the event itself only for a search text.
        bool operator()(const EventLogRow& row);

    private:
        struct OwnerMatch {
            bool shown = true;
            bool named = false; // the search text is in the controller's name
        };
        const OwnerMatch& ownerMatch(const EventLogRow& row);
        bool textIn(const EventLogRow& row);

        const EventLogFilter& filter_;
        ControllerNames& names_;
        QByteArray folded_;
        FoldedSearch search_;
        std::unordered_map<Business::ControllerId, OwnerMatch> owners_;
        Business::ControllerId lastOwner_ = 0;
        const OwnerMatch* lastMatch_ = nullptr;
        std::array<bool, 7> kindNamed_{}; // per kind, the last for values out of the table
        std::array<bool, 2> transportNamed_{};
    };

    // `needle` in lower case; ASCII letters of `haystack` match either case.
    static bool containsFolded(QByteArrayView haystack, QByteArrayView needle);
    static QByteArray folded(const QByteArray& text);
};

} // namespace Warden
