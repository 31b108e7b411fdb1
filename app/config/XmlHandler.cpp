#include "XmlHandler.h"

#include "Settings.h"

#include <QDebug>
#include <QXmlStreamReader>

#include <algorithm>

namespace Warden::Business {

namespace {

const QString channelsElement = QStringLiteral("Channels");
const QString optionalNameLeaf = QStringLiteral("optionalName");

// Where a controller's first channel starts; each further channel takes the next four slots.
const std::map<QString, int> firstChannelSlots{
    {QStringLiteral("optionalName"), 6},
    {QStringLiteral("overcurrent"), 7},
    {QStringLiteral("undercurrent"), 8},
    {QStringLiteral("pf"), 9},
};

bool isBlank(const QString& text) {
    return std::all_of(text.begin(), text.end(),
                       [](QChar c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; });
}

} // namespace

XmlHandler::XmlHandler(Application& app)
    : app_(app)
    , entities_{{QStringLiteral("MTA"), mta},
                {QStringLiteral("Controller"), controller},
                {QStringLiteral("EMail"), email},
                {QStringLiteral("Channel"), channel},
                {QStringLiteral("Report"), report}}
    , leaves_{
          {{QStringLiteral("user"), 0},
           {QStringLiteral("password"), 1},
           {QStringLiteral("host"), 2},
           {QStringLiteral("port"), 3},
           {QStringLiteral("useTLS"), 4},
           {QStringLiteral("id"), 5}},
          {{QStringLiteral("name"), 0},
           {QStringLiteral("type"), 1},
           {QStringLiteral("host"), 2},
           {QStringLiteral("port"), 3},
           {QStringLiteral("admin"), 4},
           {QStringLiteral("password"), 5}},
          {{QStringLiteral("to"), 0}, {QStringLiteral("from"), 1}, {QStringLiteral("MTA"), 2}},
          firstChannelSlots,
          {{QStringLiteral("checkEveryUnit"), 0},
           {QStringLiteral("checkEveryUnits"), 1},
           {QStringLiteral("sendOnLogin"), 2},
           {QStringLiteral("sendUnderOverCurrent"), 3},
           {QStringLiteral("sendHistogram"), 4},
           {QStringLiteral("sendPowerBill"), 5},
           {QStringLiteral("sendEntireLog"), 6},
           {QStringLiteral("reportEveryUnit"), 7},
           {QStringLiteral("reportEveryUnits"), 8},
           {QStringLiteral("kWHPriceUSD"), 9},
           {QStringLiteral("currency"), 10},
           {QStringLiteral("alertCurrent"), 11},
           {QStringLiteral("alertNoAnswer"), 12},
           {QStringLiteral("alertLogins"), 13},
           {QStringLiteral("metricsAddress"), 14}},
      } {
}

int XmlHandler::leafSlot(const QString& leaf) const {
    const LeafTable& table = leaves_[static_cast<size_t>(element_)];
    const auto it = table.find(leaf);
    return it == table.end() ? -1 : it->second;
}

bool XmlHandler::isLeafOfCurrent(const QString& name) const {
    return leaves_[static_cast<size_t>(element_)].count(name) != 0;
}

void XmlHandler::setSlot(int slot, const QByteArray& text) {
    // Channel slots move on by four per channel and leave the array after the third one.
    if (slot >= 0 && slot < slotCount)
        e_[static_cast<size_t>(slot)] = text;
}

bool XmlHandler::startElement(const QString& name) {
    if (!entity_) {
        const auto it = entities_.find(name);
        if (it == entities_.end())
            return true; // the root and the list containers carry nothing
        entity_ = true;
        element_ = it->second;
        if (element_ == channel) {
            for (const auto& [leaf, slot] : leaves_[channel])
                setSlot(slot, {});
        } else {
            e_.fill({});
            if (element_ == controller)
                setSlot(leaves_[channel].at(optionalNameLeaf), "NO CHANNEL");
        }
        return true;
    }
    if (isLeafOfCurrent(name)) {
        leaf_ = name;
        return true;
    }
    if (element_ == controller && name == channelsElement) {
        // Lets the Channel elements inside be recognised as entities of their own.
        entity_ = false;
        return true;
    }
    const QByteArray n = name.toUtf8();
    errors_ += "startElement() error for element " + n + ": entity_ flag is set but " + n +
               " is not leaf and has not index\n";
    return false;
}

bool XmlHandler::characters(const QString& text) {
    if (!entity_ || isBlank(text))
        return true;
    const int slot = leafSlot(leaf_);
    if (slot < 0 || slot >= slotCount) {
        errors_ +=
            "characters() error: entity_ flag is set and CTEXT has no WS characters, but leaf has no index "
            "or this index is greater than internal string array\n";
        return false;
    }
    e_[static_cast<size_t>(slot)] = text.toUtf8();
    return true;
}

bool XmlHandler::endElement(const QString& name) {
    if (entity_) {
        const auto it = entities_.find(name);
        if (it != entities_.end() && it->second == element_) {
            entity_ = false;
            finishEntity();
            return true;
        }
        if (isLeafOfCurrent(name) && name == leaf_)
            return true;
        errors_ += "endElement() error for element " + name.toUtf8() +
                   ": entity flag is set but element is neither entity nor leaf";
        return false;
    }
    if (name == channelsElement) {
        entity_ = true;
        if (element_ != channel)
            qDebug().noquote().nospace() << "After Channels element_ was " << element_ << ' ';
        element_ = controller;
    }
    return true;
}

void XmlHandler::finishEntity() {
    const Texts texts(e_.begin(), e_.end());
    switch (element_) {
    case mta:
        storeMailServer(app_, texts);
        break;
    case controller:
        leaves_[channel] = firstChannelSlots;
        storeController(app_, -1, texts);
        break;
    case email:
        storeMailAccount(app_, -1, texts, e_[2]);
        break;
    case channel: {
        for (auto& [leaf, slot] : leaves_[channel])
            slot += 4;
        const int next = leaves_[channel].at(optionalNameLeaf);
        if (next < slotCount)
            e_[static_cast<size_t>(next)] = "NO CHANNEL";
        else
            qDebug().noquote().nospace() << "Cannot set e_[" << next << "] value, e_size() = " << slotCount;
        break;
    }
    case report:
        storeReportSettings(app_, texts);
        break;
    }
}

bool XmlHandler::warning(qint64 line, const QString& message) {
    errors_ += "Warning at line " + QByteArray::number(line) + ": " + message.toUtf8() + '\n';
    return true;
}

bool XmlHandler::error(qint64 line, const QString& message) {
    errors_ += "Error at line " + QByteArray::number(line) + ": " + message.toUtf8() + '\n';
    return true;
}

bool XmlHandler::fatalError(qint64 line, qint64 column, const QString& message) {
    errors_ += "Fatal error at line " + QByteArray::number(line) + " column " + QByteArray::number(column) +
               ": " + message.toUtf8() + '\n';
    return true;
}

bool parseSettings(const QByteArray& document, XmlHandler& handler) {
    QXmlStreamReader reader(document);
    // Element names are matched as written; a prefix makes a different name, not a namespace error.
    reader.setNamespaceProcessing(false);
    const auto stop = [&](const QString& message) {
        handler.fatalError(reader.lineNumber(), reader.columnNumber() + 1, message);
        return false;
    };
    const auto handlerFailed = [&] { return stop(QString::fromUtf8(handler.errorString())); };

    // Text around a character or entity reference arrives in pieces; the handler sees it whole.
    QString text;
    for (;;) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::Characters) {
            text += reader.text();
            continue;
        }
        if (!text.isEmpty()) {
            const bool ok = handler.characters(text);
            text.clear();
            if (!ok)
                return handlerFailed();
        }
        switch (token) {
        case QXmlStreamReader::StartElement:
            if (!handler.startElement(reader.qualifiedName().toString()))
                return handlerFailed();
            break;
        case QXmlStreamReader::EndElement:
            if (!handler.endElement(reader.qualifiedName().toString()))
                return handlerFailed();
            break;
        case QXmlStreamReader::Invalid:
            return stop(reader.errorString());
        case QXmlStreamReader::EndDocument:
            return true;
        default:
            break;
        }
    }
}

} // namespace Warden::Business
