// The main window's caption as an X11 window manager is told it (run by x11_test.sh on a private X
// display with openbox): an empty caption reaches the window system empty, not as the program's name.
#include "support/ShownMainWindow.h"
#include "ui/Form1.h"

#include <QApplication>
#include <QTest>
#include <QtGui/qguiapplication_platform.h>
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

QTEST_MAIN(WindowCaptionX11Test)
#include "WindowCaptionX11Test.moc"
