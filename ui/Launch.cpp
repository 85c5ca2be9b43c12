#include "ui/Launch.h"

#include "XcbAtom.h"

#include <QGuiApplication>
#include <QWidget>
#include <QtGui/qguiapplication_platform.h>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <xcb/xcb.h>

namespace qb::ui {

namespace {

xcb_window_t rootOf(xcb_connection_t* connection)
{
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    return screen ? screen->root : xcb_window_t(XCB_WINDOW_NONE);
}

// The launch's time: what follows "_TIME" in the id; 0 (unknown) without it.
std::uint32_t launchTime(const QByteArray& startupId)
{
    const qsizetype at = startupId.lastIndexOf("_TIME");
    if (at < 0)
        return 0;
    bool ok = false;
    const std::uint32_t time = startupId.mid(at + 5).toUInt(&ok);
    return ok ? time : 0;
}

// A message to the root window, as the startup notification protocol sends them: 20 bytes at a time,
// the first piece typed _NET_STARTUP_INFO_BEGIN and the rest _NET_STARTUP_INFO, ending in a NUL.
void broadcast(xcb_connection_t* connection, xcb_window_t from, const QByteArray& message)
{
    const xcb_atom_t begin = xcbAtom(connection, "_NET_STARTUP_INFO_BEGIN");
    const xcb_atom_t more = xcbAtom(connection, "_NET_STARTUP_INFO");
    const xcb_window_t root = rootOf(connection);
    if (begin == XCB_ATOM_NONE || more == XCB_ATOM_NONE || root == XCB_WINDOW_NONE)
        return;
    const QByteArray text = message + '\0';
    for (qsizetype at = 0; at < text.size(); at += 20) {
        xcb_client_message_event_t event{};
        event.response_type = XCB_CLIENT_MESSAGE;
        event.format = 8;
        event.window = from;
        event.type = at == 0 ? begin : more;
        std::memcpy(event.data.data8, text.constData() + at,
                    static_cast<std::size_t>(std::min<qsizetype>(20, text.size() - at)));
        xcb_send_event(connection, 0, root, XCB_EVENT_MASK_PROPERTY_CHANGE,
                       reinterpret_cast<const char*>(&event));
    }
}

} // namespace

QByteArray startupRemoveMessage(const QByteArray& startupId)
{
    QByteArray quoted = startupId;
    quoted.replace('\\', "\\\\").replace('"', "\\\"");
    return "remove: ID=\"" + quoted + '"';
}

void answerLaunch(QWidget& window, const Launch& launch)
{
    if (!launch.activationToken.isEmpty())
        qputenv("XDG_ACTIVATION_TOKEN", launch.activationToken); // taken by the next activation request
    const auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t* const connection = x11 ? x11->connection() : nullptr;
    if (launch.startupId.isEmpty() || connection == nullptr)
        return;
    const auto id = static_cast<xcb_window_t>(window.winId());
    const xcb_atom_t startupProperty = xcbAtom(connection, "_NET_STARTUP_ID");
    const xcb_atom_t utf8 = xcbAtom(connection, "UTF8_STRING");
    if (startupProperty != XCB_ATOM_NONE && utf8 != XCB_ATOM_NONE)
        xcb_change_property(connection, XCB_PROP_MODE_REPLACE, id, startupProperty, utf8, 8,
                            static_cast<std::uint32_t>(launch.startupId.size()),
                            launch.startupId.constData());
    // Asked for as the launch, with its time: a window manager that prevents focus stealing compares it
    // with the user's last action.
    const xcb_atom_t active = xcbAtom(connection, "_NET_ACTIVE_WINDOW");
    if (const std::uint32_t time = launchTime(launch.startupId); time != 0 && active != XCB_ATOM_NONE) {
        xcb_client_message_event_t event{};
        event.response_type = XCB_CLIENT_MESSAGE;
        event.format = 32;
        event.window = id;
        event.type = active;
        event.data.data32[0] = 1; // from an application
        event.data.data32[1] = time;
        xcb_send_event(connection, 0, rootOf(connection),
                       XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
                       reinterpret_cast<const char*>(&event));
    }
    broadcast(connection, id, startupRemoveMessage(launch.startupId));
    xcb_flush(connection);
}

} // namespace qb::ui
