#pragma once

#include <QByteArray>
#include <QString>

#include <array>
#include <map>
#include <vector>

namespace Warden::Business {

class Application;

// Maps "Ampwarden.xml" onto the store operations. Entity elements (MTA, Controller, EMail, Channel,
// Report) collect their leaf texts into numbered slots; when an entity ends, the slots go as one text
// list to the store operation of that entity, which converts and stores the record. So a file that
// breaks off part way keeps every record completed before the fault.
//
// The callbacks follow a SAX content and error handler: parseSettings() below drives them from a
// QXmlStreamReader.
class XmlHandler final {
public:
    static constexpr int slotCount = 20;

    explicit XmlHandler(Application& app);
    Q_DISABLE_COPY_MOVE(XmlHandler)

    // Content callbacks: false stops the parse; the reason is in errorString().
    bool startElement(const QString& name);
    bool endElement(const QString& name);
    bool characters(const QString& text);

    // Everything gathered so far; the parser repeats it in the fatal error that ends a failed parse.
    QByteArray errorString() const { return errors_; }

    // Error callbacks: line and column are 1-based. All three let the parser go on (it stops after a
    // fatal error anyway).
    bool warning(qint64 line, const QString& message);
    bool error(qint64 line, const QString& message);
    bool fatalError(qint64 line, qint64 column, const QString& message);

private:
    Application& app_;
    enum Entity { mta = 0, controller = 1, email = 2, channel = 3, report = 4 };
    using LeafTable = std::map<QString, int>;

    // The slot of a leaf of the current entity, or -1 when the leaf is not one of its leaves.
    int leafSlot(const QString& leaf) const;
    bool isLeafOfCurrent(const QString& name) const;
    void setSlot(int slot, const QByteArray& text);
    void resetChannelSlots();
    void finishEntity();

    std::map<QString, int> entities_;
    std::vector<LeafTable> leaves_;
    std::array<QByteArray, slotCount> e_;
    bool entity_ = false;
    int element_ = 0;
    QString leaf_;
    QByteArray errors_;
};

// Feeds the document's start tags, end tags and character data to the handler, merging adjacent
// character data into one call. Stops at the first callback that fails and reports that failure, or
// the reader's own error, through fatalError(). Returns true when the whole document was read.
bool parseSettings(const QByteArray& document, XmlHandler& handler);

} // namespace Warden::Business
