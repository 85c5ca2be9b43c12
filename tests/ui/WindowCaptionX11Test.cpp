// The main window as an X11 window manager and desktop see it (run by x11_test.sh on a private X
// display with openbox): an empty caption reaches the window system empty, not as the program's name;
// a file handed over by a start the desktop launched completes that launch's startup notification.
#include "session/WindowActions.h"
#include "support/ShownMainWindow.h"
#include "ui/Form1.h"

#include <QApplication>
#include <QTest>
#include <QtGui/qguiapplication_platform.h>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <xcb/xcb.h>

using qb::ui::Form1;

namespace {

xcb_connection_t* connection()
{
    const auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    return x11 ? x11->connection() : nullptr;
}

xcb_atom_t atom(const char* name)
{
    const auto cookie = xcb_intern_atom(connection(), 0, static_cast<std::uint16_t>(std::strlen(name)), name);
    const std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
        xcb_intern_atom_reply(connection(), cookie, nullptr), &std::free);
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

// The window's text property `name`; a null string when the window has none.
QString textProperty(const QWidget& window, const char* name)
{
    const auto cookie = xcb_get_property(connection(), 0, static_cast<xcb_window_t>(window.winId()),
                                         atom(name), XCB_ATOM_ANY, 0, 1024);
    const std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)> reply(
        xcb_get_property_reply(connection(), cookie, nullptr), &std::free);
    if (!reply || reply->type == XCB_ATOM_NONE)
        return QString();
    return QString::fromUtf8(static_cast<const char*>(xcb_get_property_value(reply.get())),
                             xcb_get_property_value_length(reply.get()));
}

} // namespace

class WindowCaptionX11Test : public QObject
{
    Q_OBJECT

    qb::test::RecordedParts parts;

private slots:
    void initTestCase()
    {
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
        QVERIFY(connection());
        parts.turnTipsOff();
    }

    void anEmptyCaptionReachesTheWindowManagerEmpty()
    {
        qb::app::Program program(parts.parts());
        Form1& form = program.window();
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QCOMPARE(textProperty(form, "_NET_WM_NAME"), QStringLiteral("Quillbeat"));

        form.setWindowCaption(QString());
        QCOMPARE(form.windowTitle(), QString());
        QCOMPARE(textProperty(form, "_NET_WM_NAME"), QStringLiteral(""));
        QCOMPARE(textProperty(form, "WM_NAME"), QStringLiteral(""));
        // The window manager no longer shows the program's name (openbox shows "Unnamed Window").
        QTRY_VERIFY(textProperty(form, "_NET_WM_VISIBLE_NAME") != QStringLiteral("Quillbeat"));
        qInfo("the window manager shows: \"%s\"", qPrintable(textProperty(form, "_NET_WM_VISIBLE_NAME")));

        form.setWindowCaption(QStringLiteral("ループ曲"));
        QCOMPARE(textProperty(form, "_NET_WM_NAME"), QStringLiteral("ループ曲"));
    }

    void anEmptyCaptionSetBeforeTheFirstShowStaysEmpty()
    {
        qb::app::Program program(parts.parts());
        Form1& form = program.window();
        form.setWindowCaption(QString());
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QCOMPARE(textProperty(form, "_NET_WM_NAME"), QStringLiteral(""));
    }
};

// What the desktop hears of launches: the startup notification messages sent to the root window, each
// put together from its 20-byte pieces.
class StartupListener
{
public:
    StartupListener() : m_connection(xcb_connect(nullptr, nullptr))
    {
        const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data;
        const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
        xcb_change_window_attributes(m_connection, screen->root, XCB_CW_EVENT_MASK, &mask);
        m_begin = internAtom("_NET_STARTUP_INFO_BEGIN");
        m_more = internAtom("_NET_STARTUP_INFO");
        xcb_flush(m_connection);
    }
    ~StartupListener() { xcb_disconnect(m_connection); }

    QList<QByteArray> messages()
    {
        while (xcb_generic_event_t* event = xcb_poll_for_event(m_connection)) {
            if ((event->response_type & 0x7f) == XCB_CLIENT_MESSAGE) {
                const auto* message = reinterpret_cast<xcb_client_message_event_t*>(event);
                if (message->type == m_begin)
                    m_partial.clear();
                if (message->type == m_begin || message->type == m_more) {
                    const char* data = reinterpret_cast<const char*>(message->data.data8);
                    const qsizetype length = qsizetype(strnlen(data, 20));
                    m_partial.append(data, length);
                    if (length < 20)
                        m_done << m_partial;
                }
            }
            std::free(event);
        }
        return m_done;
    }

private:
    xcb_atom_t internAtom(const char* name)
    {
        const auto cookie =
            xcb_intern_atom(m_connection, 0, static_cast<std::uint16_t>(std::strlen(name)), name);
        const std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
            xcb_intern_atom_reply(m_connection, cookie, nullptr), &std::free);
        return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    }

    xcb_connection_t* m_connection;
    xcb_atom_t m_begin = XCB_ATOM_NONE;
    xcb_atom_t m_more = XCB_ATOM_NONE;
    QByteArray m_partial;
    QList<QByteArray> m_done;
};

class WindowLaunchX11Test : public QObject
{
    Q_OBJECT

    qb::test::RecordedParts parts;

private slots:
    // A later start the desktop launched asks for the window: the running window carries the launch's
    // id and completes its sequence (the desktop's busy cursor stops), with an id long enough to take
    // several pieces and a quote that must be escaped.
    void aHandOverCompletesTheDesktopsLaunch()
    {
        parts.turnTipsOff();
        qb::app::Program program(parts.parts());
        Form1& form = program.window();
        program.start();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        StartupListener listener;
        const QByteArray id = "file-manager/quillbeat/4242-0-host \"x\"_TIME0";
        qb::session::takeRequest(form, {{}, false, id, {}});
        QTRY_COMPARE(listener.messages(),
                     QList<QByteArray>{"remove: ID=\"file-manager/quillbeat/4242-0-host \\\"x\\\"_TIME0\""});
        QCOMPARE(textProperty(form, "_NET_STARTUP_ID").toUtf8(), id);
    }
};

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    WindowCaptionX11Test caption;
    WindowLaunchX11Test launch;
    return QTest::qExec(&caption, argc, argv) | QTest::qExec(&launch, argc, argv);
}
#include "WindowCaptionX11Test.moc"
