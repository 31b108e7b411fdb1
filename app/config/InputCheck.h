#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace Warden::Business {

// Why the controller or channel dialog does not take what was typed, and where to correct it.
struct InputProblem {
    QString title;
    QString text;
    int field = -1; // index of the text to correct in the list that was checked
};

// The texts of the channel dialog: name, overcurrent, undercurrent, power factor. The limits must be
// numbers (a decimal point, not a comma) within their ranges with the undercurrent below the
// overcurrent; the power factor is above 0 and at most 1.
std::optional<InputProblem> channelProblem(const QList<QByteArray>& channel);

// The controller values as the controller dialog hands them to storeController: name, model, host,
// port, admin, password, then name and three limits per channel. Name, model and host are required
// and every channel must pass channelProblem. The name must differ from each of `otherNames` (the
// other controllers' names: letter case counts, as it always did for new controllers).
std::optional<InputProblem> controllerProblem(const QList<QByteArray>& values, const QStringList& otherNames,
                                              bool isNew);

} // namespace Warden::Business
