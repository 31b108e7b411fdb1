#include "EventOrder.h"

#include <QtEndian>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <string_view>
#include <unordered_map>

namespace Warden {

using Business::Event;
using Business::EventKind;
using Business::NewestFirst;
using Business::Transport;

namespace {

const QByteArray& transportText(bool http) {
    static const QByteArray httpName = transportName(Transport::http);
    static const QByteArray syslogName = transportName(Transport::syslog);
    return http ? httpName : syslogName;
}

std::string_view view(const QByteArray& text) {
    return {text.constData(), static_cast<std::size_t>(text.size())};
}

// Ranks of texts in their sorted order; equal texts share one.
std::vector<int> ranksOf(const std::vector<QByteArray>& texts) {
    std::vector<QByteArray> sorted = texts;
    std::sort(sorted.begin(), sorted.end());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    std::vector<int> ranks;
    ranks.reserve(texts.size());
    for (const QByteArray& text : texts)
        ranks.push_back(
            static_cast<int>(std::lower_bound(sorted.begin(), sorted.end(), text) - sorted.begin()));
    return ranks;
}

// Sorting a million texts by comparing them would read their long common beginnings ("Current loads
// on channel ") some twenty times each. Instead the texts are sorted eight bytes at a time, as
// numbers, with a stable radix sort; texts still equal go on to their next eight bytes. Each byte of
// a text is read about once.
struct Keyed {
    const char* data;
    quint32 size;
    quint32 position; // in the rows as they came, newest first
    quint64 chunk;
};

// Working space kept from one sort to the next: a fresh block of tens of megabytes for every sort costs
// more in first touches of its pages than the sort itself.
template <class T, int Use = 0> BigVector<T>& workspace(std::size_t size) {
    thread_local BigVector<T> space;
    space.resize(size);
    return space;
}

class TextSort {
public:
    explicit TextSort(bool descending)
        : descending_(descending) {}

    void sort(BigVector<Keyed>& items) {
        scratch_ = workspace<Keyed, 1>(items.size()).data();
        sortRange(items.data(), items.data() + items.size(), 0);
    }

private:
    static constexpr std::ptrdiff_t smallRange = 48;

    quint64 chunkAt(const Keyed& k, quint32 depth) const {
        quint64 chunk = 0;
        const quint32 n = k.size > depth ? std::min<quint32>(8, k.size - depth) : 0;
        if (n == 8) {
            std::memcpy(&chunk, k.data + depth, 8);
            chunk = qFromBigEndian(chunk);
        } else {
            for (quint32 i = 0; i < n; ++i)
                chunk |= quint64(static_cast<unsigned char>(k.data[depth + i])) << (56 - 8 * i);
        }
        return descending_ ? ~chunk : chunk;
    }
    // The texts lie all over the heap: each is asked for well before it is read, so that the reads
    // wait for memory together rather than one after another.
    static void prefetch(const Keyed* k, const Keyed* end, quint32 depth) {
        constexpr std::ptrdiff_t ahead = 16;
        if (end - k > ahead)
            __builtin_prefetch(k[ahead].data + std::min(depth, k[ahead].size));
    }
    // Whole texts from `depth` on, then their positions: a definite order.
    bool before(const Keyed& a, const Keyed& b, quint32 depth) const {
        const std::string_view x(a.data + std::min(depth, a.size), a.size - std::min(depth, a.size));
        const std::string_view y(b.data + std::min(depth, b.size), b.size - std::min(depth, b.size));
        const int c = x.compare(y);
        if (c != 0)
            return descending_ ? c > 0 : c < 0;
        return a.position < b.position;
    }

    void sortRange(Keyed* begin, Keyed* end, quint32 depth) {
        if (end - begin < 2)
            return;
        if (end - begin <= smallRange) {
            std::sort(begin, end,
                      [this, depth](const Keyed& a, const Keyed& b) { return before(a, b, depth); });
            return;
        }
        while (!chunk(begin, end, depth)) {
            // One chunk for all: a long shared beginning, or one text many times (our own polling
            // logins). Skipping the bytes all share reads each text once instead of once per chunk.
            const quint32 shared = sharedBytes(begin, end, depth);
            if (shared == allAlike)
                return; // equal texts stay in the order they came
            if (shared < 8)
                break;
            depth += shared;
        }
        radixSort(begin, end);
        // Within equal chunks, a text that ends here is the shorter: first upwards, last downwards.
        for (Keyed* group = begin; group != end;) {
            Keyed* groupEnd = group + 1;
            while (groupEnd != end && groupEnd->chunk == group->chunk)
                ++groupEnd;
            const auto ended = [depth](const Keyed& k) { return k.size <= depth + 8; };
            const auto endedCount = std::count_if(group, groupEnd, ended);
            if (endedCount == 0) { // all go on, as the common beginnings of long texts do
                sortRange(group, groupEnd, depth + 8);
                group = groupEnd;
                continue;
            }
            Keyed* split = endedCount == groupEnd - group ? (descending_ ? group : groupEnd)
                           : descending_                  ? std::stable_partition(group, groupEnd,
                                                                                  [&](const Keyed& k) { return !ended(k); })
                                                          : std::stable_partition(group, groupEnd, ended);
            Keyed* const endedBegin = descending_ ? split : group;
            Keyed* const endedEnd = descending_ ? groupEnd : split;
            // Ended texts of one chunk are equal unless they end in zero bytes.
            const bool sameSize = std::all_of(
                endedBegin, endedEnd, [endedBegin](const Keyed& k) { return k.size == endedBegin->size; });
            if (!sameSize)
                std::stable_sort(endedBegin, endedEnd, [this](const Keyed& a, const Keyed& b) {
                    return descending_ ? a.size > b.size : a.size < b.size;
                });
            if (descending_)
                sortRange(group, split, depth + 8);
            else
                sortRange(split, groupEnd, depth + 8);
            group = groupEnd;
        }
    }

    static constexpr quint32 allAlike = std::numeric_limits<quint32>::max();

    // Sets the chunks at `depth`; false when they are all the same.
    bool chunk(Keyed* begin, Keyed* end, quint32 depth) const {
        bool differ = false;
        for (Keyed* k = begin; k != end; ++k) {
            prefetch(k, end, depth);
            k->chunk = chunkAt(*k, depth);
            differ = differ || k->chunk != begin->chunk;
        }
        return differ;
    }

    // How many bytes from `depth` on all texts share; allAlike when they are the same texts.
    static quint32 sharedBytes(const Keyed* begin, const Keyed* end, quint32 depth) {
        const std::string_view first = rest(*begin, depth);
        std::size_t shared = first.size();
        bool sameSize = true;
        for (const Keyed* k = begin + 1; k != end; ++k) {
            prefetch(k, end, depth);
            const std::string_view text = rest(*k, depth);
            sameSize = sameSize && text.size() == first.size();
            const std::size_t n = std::min(shared, text.size());
            shared = static_cast<std::size_t>(
                std::mismatch(first.begin(), first.begin() + static_cast<std::ptrdiff_t>(n), text.begin())
                    .first -
                first.begin());
        }
        return sameSize && shared == first.size() ? allAlike : static_cast<quint32>(shared);
    }

    static std::string_view rest(const Keyed& k, quint32 depth) {
        const quint32 from = std::min(depth, k.size);
        return {k.data + from, k.size - from};
    }

    // Stable, a byte at a time from the lowest; a byte that all chunks share costs no pass.
    void radixSort(Keyed* begin, Keyed* end) {
        const std::size_t n = static_cast<std::size_t>(end - begin);
        Keyed* from = begin;
        Keyed* to = scratch_;
        for (int shift = 0; shift < 64; shift += 8) {
            std::array<std::size_t, 257> counts{};
            for (const Keyed* k = from; k != from + n; ++k)
                ++counts[((k->chunk >> shift) & 0xff) + 1];
            if (std::find(counts.begin(), counts.end(), n) != counts.end())
                continue;
            for (std::size_t b = 1; b < counts.size(); ++b)
                counts[b] += counts[b - 1];
            for (const Keyed* k = from; k != from + n; ++k)
                to[counts[(k->chunk >> shift) & 0xff]++] = *k;
            std::swap(from, to);
        }
        if (from != begin)
            std::copy(from, from + n, begin);
    }

    bool descending_;
    Keyed* scratch_ = nullptr;
};

} // namespace

EventOrder::EventOrder(int column, Qt::SortOrder order, ControllerNames& names)
    : column_(column)
    , descending_(order == Qt::DescendingOrder)
    , names_(names) {
}

const QByteArray& EventOrder::text(const EventLogRow& row) const {
    switch (column_) {
    case messageIdColumn:
        return row.event->messageId;
    case controllerColumn:
        return names_.of(row.owner, *row.event);
    case kindColumn:
        return eventKindName(static_cast<EventKind>(row.kind));
    case reasonColumn:
        return row.event->reason;
    case rawColumn:
        return row.event->raw;
    case transportColumn:
        return transportText(row.http);
    default:
        static const QByteArray none;
        return none;
    }
}

bool EventOrder::operator()(const EventLogRow& a, const EventLogRow& b) const {
    if (column_ == whenColumn)
        return descending_ ? NewestFirst{}(a.key, b.key) : NewestFirst{}(b.key, a.key);
    const int c = view(text(a)).compare(view(text(b)));
    if (c != 0)
        return descending_ ? c > 0 : c < 0;
    return NewestFirst{}(a.key, b.key);
}

void EventOrder::arrange(EventLogRows& rows, EventLogRows& spare) const {
    switch (column_) {
    case whenColumn:
        if (!descending_)
            std::reverse(rows.begin(), rows.end());
        break;
    case kindColumn: {
        std::vector<QByteArray> names;
        names.reserve(7);
        for (int k = 0; k < 7; ++k)
            names.push_back(eventKindName(static_cast<EventKind>(k)));
        const std::vector<int> ranks = ranksOf(names);
        arrangeByRank(rows, spare, 7, [&ranks](const EventLogRow& row) { return ranks[row.kind]; });
        break;
    }
    case transportColumn:
        // "http" before "syslog".
        arrangeByRank(rows, spare, 2, [](const EventLogRow& row) { return row.http ? 0 : 1; });
        break;
    case controllerColumn:
        arrangeByController(rows, spare);
        break;
    default:
        arrangeByText(rows, spare);
    }
}

template <class Rank>
void EventOrder::arrangeByRank(EventLogRows& rows, EventLogRows& spare, int ranks, Rank rank) const {
    // A stable counting sort: among equal texts the rows keep their newest-first order.
    BigVector<int>& buckets = workspace<int>(0);
    buckets.reserve(rows.size());
    std::vector<std::size_t> starts(static_cast<std::size_t>(ranks) + 1, 0);
    for (const EventLogRow& row : rows) {
        const int r = rank(row);
        const int bucket = descending_ ? ranks - 1 - r : r;
        buckets.push_back(bucket);
        ++starts[static_cast<std::size_t>(bucket) + 1];
    }
    for (std::size_t s = 1; s < starts.size(); ++s)
        starts[s] += starts[s - 1];
    reserveRows(spare, rows.size());
    spare.resize(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i)
        spare[starts[static_cast<std::size_t>(buckets[i])]++] = rows[i];
    rows.swap(spare);
}

void EventOrder::arrangeByController(EventLogRows& rows, EventLogRows& spare) const {
    std::unordered_map<Business::ControllerId, int> owners;
    std::vector<QByteArray> names;
    for (const EventLogRow& row : rows) {
        if (owners.emplace(row.owner, static_cast<int>(names.size())).second)
            names.push_back(names_.of(row.owner, *row.event));
    }
    const std::vector<int> ranks = ranksOf(names);
    Business::ControllerId lastOwner = 0;
    int lastRank = -1;
    arrangeByRank(rows, spare, static_cast<int>(names.size()), [&](const EventLogRow& row) {
        if (lastRank < 0 || row.owner != lastOwner) {
            lastOwner = row.owner;
            lastRank = ranks[static_cast<std::size_t>(owners.at(row.owner))];
        }
        return lastRank;
    });
}

void EventOrder::arrangeByText(EventLogRows& rows, EventLogRows& spare) const {
    BigVector<Keyed>& keyed = workspace<Keyed>(0);
    keyed.reserve(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        prefetchEvent(rows, i);
        const QByteArray& t = text(rows[i]);
        keyed.push_back({t.constData(), static_cast<quint32>(t.size()), static_cast<quint32>(i), 0});
    }
    TextSort(descending_).sort(keyed);
    reserveRows(spare, rows.size());
    spare.clear();
    constexpr std::size_t ahead = 16;
    for (std::size_t i = 0; i < keyed.size(); ++i) {
        if (i + ahead < keyed.size())
            __builtin_prefetch(&rows[keyed[i + ahead].position]);
        spare.push_back(rows[keyed[i].position]);
    }
    rows.swap(spare);
}

} // namespace Warden
