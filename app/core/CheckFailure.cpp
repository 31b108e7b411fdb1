#include "CheckFailure.h"

#include "ClockText.h"

namespace Warden::Business {

namespace {

QByteArray words(const CheckFailure& failure) {
    using Kind = CheckFailure::Kind;
    switch (failure.kind) {
    case Kind::none:
        return {};
    case Kind::timedOut:
        return "no answer within " + formatG(failure.code / 1000.0) + " s";
    case Kind::refused:
        return "connection refused";
    case Kind::noConnection:
        return "no connection";
    case Kind::notHttp:
        return "no HTTP answer";
    case Kind::loginRefused:
        return "login refused (" + QByteArray::number(failure.code) + ")";
    case Kind::errorPage:
        return "error page (" + QByteArray::number(failure.code) + ")";
    case Kind::brokenOff:
        return "answer broke off";
    case Kind::noClock:
        return "page without its clock";
    case Kind::tooLarge:
        return "answer too large";
    }
    return {};
}

} // namespace

QByteArray CheckFailure::text() const {
    const QByteArray shown = words(*this);
    return detail.isEmpty() || shown.isEmpty() ? shown : shown + ": " + detail;
}

} // namespace Warden::Business
