#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QDeadlineTimer>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>

namespace Warden::Test {

// A widget of a form by its object name; a missing one ends the test at once.
template <typename T> T* child(QWidget* parent, const char* name) {
    auto* widget = parent->findChild<T*>(QString::fromLatin1(name));
    if (!widget)
        qFatal("no child %s", name);
    return widget;
}

// Answers a modal window the way a user would: once a modal widget of type T is the active one, runs
// `action` on it. Register before the code that opens the window; several watchers fire in the order
// their windows appear. Keep the watcher alive until the window has been answered. `fired()` tells whether
// the window ever came.
template <typename T> class WhenModal {
public:
    explicit WhenModal(std::function<void(T*)> action, int timeoutMs = 5000)
        : state_(std::make_shared<State>()) {
        state_->deadline = QDeadlineTimer(timeoutMs);
        state_->timer.setInterval(5);
        std::weak_ptr<State> weak = state_;
        QObject::connect(&state_->timer, &QTimer::timeout, [weak, action] {
            const auto state = weak.lock();
            if (!state)
                return;
            if (auto* widget = qobject_cast<T*>(QApplication::activeModalWidget());
                widget && widget->isVisible()) {
                state->timer.stop();
                state->fired = true;
                action(widget);
            } else if (state->deadline.hasExpired()) {
                state->timer.stop();
            }
        });
        state_->timer.start();
    }

    bool fired() const { return state_->fired; }

private:
    struct State {
        QTimer timer;
        QDeadlineTimer deadline;
        bool fired = false;
    };
    std::shared_ptr<State> state_;
};

// The title and text of a message box, then the box is closed with `button`.
struct SeenBox {
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
};

inline WhenModal<QMessageBox> answerBox(SeenBox* seen, QMessageBox::StandardButton button = QMessageBox::Ok) {
    return WhenModal<QMessageBox>([seen, button](QMessageBox* box) {
        seen->title = box->windowTitle();
        seen->text = box->text();
        seen->icon = box->icon();
        if (auto* b = box->button(button))
            b->click();
        else
            box->done(button);
    });
}

} // namespace Warden::Test
