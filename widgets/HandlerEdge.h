// The edge of every event handler: an error that escapes it is shown in the error box with its
// text, and the program goes on.
#pragma once

#include <exception>
#include <utility>

#include <QString>

#include "Dialogs.h"

template <typename Handler> void RunHandler(Dialogs& dialogs, Handler&& handler) {
    try {
        std::forward<Handler>(handler)();
    } catch (const std::exception& error) {
        dialogs.Error(QString::fromStdString(error.what()));
    } catch (...) {
        // Not one of ours nor of the library: there is no text to show.
        dialogs.Error(QString());
    }
}
