#include "ui/Form1.h"

#include "EmptyCaption.h"
#include "system/MessageBox.h"
#include "system/SettingsStore.h"
#include "ui/ImageButton.h"
#include "ui/Label.h"
#include "ui/PictureBox.h"
#include "ui/Timer.h"
#include "ui/TipDialog.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDropEvent>
#include <QGuiApplication>
#include <QIcon>
#include <QMimeData>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QUrl>
#include <QWindow>

namespace qb::ui {

namespace {

const QColor kBlack(0, 0, 0);
const QColor kHighlight(200, 0, 0);
const QColor kPanelGreen(148, 226, 148);

const char* const kAppName = "Quillbeat";

template <typename T> T* place(T* control, const char* name, QRect geometry)
{
    control->setObjectName(QLatin1String(name));
    control->setGeometry(geometry);
    return control;
}

// What assistive tools announce for each command: its Japanese name, and the English word on the
// button as description.
struct CommandName
{
    QString name;
    QString description;
};
const CommandName kPlay{QStringLiteral("再生"), QStringLiteral("Play")};
const CommandName kStop{QStringLiteral("停止"), QStringLiteral("Stop")};
const CommandName kSelect{QStringLiteral("選択"), QStringLiteral("Select")};

template <typename T> T* named(T* control, const CommandName& command)
{
    control->setAccessibleName(command.name);
    control->setAccessibleDescription(command.description);
    return control;
}

ImageButton* imageButton(QWidget* parent, const char* name, QRect geometry, const Picture& face,
                         const CommandName& command)
{
    auto* box = named(place(new ImageButton(parent), name, geometry), command);
    box->setBackColor(QColor(255, 255, 255)); // the window background colour
    box->setFlatBorder(kBlack);               // the window text colour
    box->setPicture(face);
    return box;
}

QPushButton* accessKeyButton(QWidget* parent, const char* name, const char* caption, QRect geometry,
                             const CommandName& command)
{
    auto* button =
        named(place(new QPushButton(QString::fromLatin1(caption), parent), name, geometry), command);
    button->setAutoDefault(false);
    button->setDefault(false);
    return button;
}

} // namespace

Form1::Form1(Services services, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      m_services(services), m_playback(m_state, *this, services.mci, services.dialogs)
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QLatin1String(kAppName));
    // Every size, so that the task bar, the switcher and a high-density screen each get a sharp one.
    QIcon icon = loadIcon(QStringLiteral(":/images/window/16.png"));
    for (int size : {32, 48, 64, 128, 256})
        icon.addFile(QStringLiteral(":/images/window/%1.png").arg(size), QSize(size, size));
    setWindowIcon(icon);
    setFixedSize(kClientWidth, kClientHeight);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, kBlack);
    pal.setColor(QPalette::WindowText, kBlack);
    setPalette(pal);
    setAutoFillBackground(true);
    setMouseTracking(true);
    setAcceptDrops(true);

    createControls();
    connectHandlers();
}

Form1::~Form1() = default;

bool Form1::offWindow(const QWidget* control) const
{
    return control->parentWidget() == this && !rect().intersects(control->geometry());
}

void Form1::createControls()
{
    // Created back to front: later siblings lie in front, so the image buttons cover the panel's top.
    const Picture panel = loadPicture(QStringLiteral(":/images/panel.bmp"));
    Picture1 = place(new PictureBox(this), "Picture1", {0, 28, 237, 111});
    Picture1->setBackColor(kBlack);
    Picture1->setPicture(panel);
    // The first stop of Tab, which holds the focus when the window opens so that no command shows a
    // focus mark until the user tabs to it: named, and read out as the text it shows.
    Picture1->setFocusPolicy(Qt::TabFocus);
    Picture1->setAccessibleName(QStringLiteral("表示パネル"));

    Label1 = place(new Label(QString(), Picture1), "Label1", {12, 14, 235, 15});
    setLabel1Caption(QStringLiteral("Quillbeat Ver1.30"));
    Label2 =
        place(new Label(QStringLiteral("制作: Quillbeat 開発チーム"), Picture1), "Label2", {12, 28, 207, 75});
    Picture3 = place(new PictureBox(Picture1), "Picture3", {138, 64, 77, 37});
    Picture3->setBackColor(kPanelGreen);
    // Only a picture, saying nothing the status line does not: a Tab stop there would be an empty one.
    Picture3->setFocusPolicy(Qt::NoFocus);
    Timer3 = new Timer(200, false, Picture1);
    Timer3->setObjectName(QStringLiteral("Timer3"));

    const Picture face = loadPicture(QStringLiteral(":/images/button.bmp"));
    Command1 = imageButton(this, "Command1", {8, 4, 63, 29}, face, kPlay);
    Label3 = place(new Label(QStringLiteral("Play"), Command1), "Label3", {18, 6, 29, 19});
    Command2 = imageButton(this, "Command2", {84, 4, 63, 29}, face, kStop);
    Label4 = place(new Label(QStringLiteral("Stop"), Command2), "Label4", {18, 6, 33, 13});
    Command3 = imageButton(this, "Command3", {160, 4, 63, 29}, face, kSelect);
    Label5 = place(new Label(QStringLiteral("Select"), Command3), "Label5", {14, 6, 37, 15});

    // Below the client area: never visible, but there for the animation and the access keys.
    const std::array<QRect, 5> frameHolders = {
        QRect{32, 166, 49, 25}, QRect{80, 166, 49, 25}, QRect{128, 164, 49, 25},
        QRect{32, 192, 49, 25}, QRect{82, 192, 49, 25},
    };
    for (std::size_t i = 0; i < Picture2.size(); ++i) {
        Picture2[i] = new PictureBox(this);
        Picture2[i]->setObjectName(QStringLiteral("Picture2_%1").arg(i));
        Picture2[i]->setGeometry(frameHolders[i]);
        Picture2[i]->setBackColor(kPanelGreen);
        Picture2[i]->setPicture(loadPicture(QStringLiteral(":/images/playing%1.bmp").arg(i)));
    }
    Picture4 = place(new PictureBox(this), "Picture4", {136, 200, 55, 33});
    Picture4->setBackColor(kPanelGreen);
    Picture4->setPicture(loadPicture(QStringLiteral(":/images/stopping.bmp")));

    // Only their access keys count: Tab and assistive tools meet each command once, as its image
    // button (see offWindow()).
    Command4 = accessKeyButton(this, "Command4", "&P", {210, 172, 5, 14}, kPlay);
    Command5 = accessKeyButton(this, "Command5", "&S", {200, 172, 7, 12}, kSelect);
    Command6 = accessKeyButton(this, "Command6", "&T", {208, 172, 5, 12}, kStop);
    for (QPushButton* button : {Command4, Command5, Command6})
        button->setFocusPolicy(Qt::NoFocus);

    Timer1 = new Timer(1, true, this);
    Timer1->setObjectName(QStringLiteral("Timer1"));

    // The controls that show, in the order they were designed; the holders below the client area take
    // no focus.
    QWidget* const tabOrder[] = {Picture1, Command1, Command2, Command3};
    for (std::size_t i = 1; i < std::size(tabOrder); ++i)
        setTabOrder(tabOrder[i - 1], tabOrder[i]);
}

void Form1::connectHandlers()
{
    connect(Command1, &PictureBox::clicked, this, &Form1::Command1_Click);
    connect(Command2, &PictureBox::clicked, this, &Form1::Command2_Click);
    connect(Command3, &PictureBox::clicked, this, &Form1::Command3_Click);
    connect(Label3, &Label::clicked, this, &Form1::Label3_Click);
    connect(Label4, &Label::clicked, this, &Form1::Label4_Click);
    connect(Label5, &Label::clicked, this, &Form1::Label5_Click);
    connect(Command4, &QPushButton::clicked, this, &Form1::Command4_Click);
    connect(Command5, &QPushButton::clicked, this, &Form1::Command5_Click);
    connect(Command6, &QPushButton::clicked, this, &Form1::Command6_Click);

    connect(Picture1, &PictureBox::mouseMoved, this, &Form1::Picture1_MouseMove);
    connect(Label1, &Label::mouseMoved, this, &Form1::Label1_MouseMove);
    connect(Label2, &Label::mouseMoved, this, &Form1::Label2_MouseMove);
    connect(Label3, &Label::mouseMoved, this, &Form1::Label3_MouseMove);
    connect(Label4, &Label::mouseMoved, this, &Form1::Label4_MouseMove);
    connect(Label5, &Label::mouseMoved, this, &Form1::Label5_MouseMove);

    connect(Timer1, &QTimer::timeout, this, &Form1::Timer1_Timer);
    connect(Timer3, &QTimer::timeout, this, &Form1::Timer3_Timer);
}

void Form1::Form_Load()
{
    if (!m_services.settings
             .GetSetting(QLatin1String(kAppName), QStringLiteral("Settings"), QStringLiteral("Start"))
             .isEmpty())
        return;
    // The window manager chooses this window's place, as at any start; the tips then stand over it.
    // Where that is, is known only once the window is on the screen (see eventFilter).
    m_tipsPending = true;
}

TipDialog* Form1::tips() const
{
    return m_tips.data();
}

void Form1::showTips()
{
    auto* tip = new TipDialog(m_services.settings, m_services.messages, this);
    m_tips = tip;
    m_tipsPending = false;
    connect(tip, &QDialog::finished, tip, &QObject::deleteLater);
    // Their frame's corner on this window's frame's corner, whatever frames the window manager draws:
    // this one's is known from what it told of it (_NET_FRAME_EXTENTS, which Qt reads), and a window
    // moved by its frame asks the window manager to put its frame's corner there (north-west gravity),
    // before anyone knows how big that frame will be.
    tip->move(frameGeometry().topLeft());
    tip->show();
}

bool Form1::eventFilter(QObject* watched, QEvent* event)
{
    if (m_tipsPending && watched == windowHandle() && event->type() == QEvent::Expose &&
        windowHandle()->isExposed()) {
        windowHandle()->removeEventFilter(this);
        // Once the expose is handled: the window's place is then the one the window manager gave.
        QTimer::singleShot(0, this, &Form1::showTips);
    }
    return QWidget::eventFilter(watched, event);
}

void Form1::Form_Unload()
{
    if (m_unloaded)
        return;
    m_unloaded = true;
    m_playback.Form_Unload();
    emit unloaded();
}

namespace {

// The first local file of a drop, as the file system spells it: the path is taken from the URL's
// bytes, so a name that is not valid UTF-8 keeps them. Empty when the drop holds no local file.
QByteArray firstDroppedFile(const QMimeData* data)
{
    if (data == nullptr || !data->hasUrls())
        return {};
    for (const QUrl& url : data->urls()) {
        if (url.isLocalFile())
            return QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1());
    }
    return {};
}

} // namespace

void Form1::dragEnterEvent(QDragEnterEvent* event)
{
    // While Select's dialog (or any other modal window) is up, the window takes nothing.
    if (m_playback.selectUnderWay() || QApplication::activeModalWidget() != nullptr ||
        firstDroppedFile(event->mimeData()).isEmpty()) {
        event->ignore();
        return;
    }
    event->setDropAction(Qt::CopyAction);
    event->accept();
}

void Form1::dropEvent(QDropEvent* event)
{
    const QByteArray path = firstDroppedFile(event->mimeData());
    if (m_playback.selectUnderWay() || QApplication::activeModalWidget() != nullptr || path.isEmpty()) {
        event->ignore();
        return;
    }
    event->setDropAction(Qt::CopyAction);
    event->accept();
    emit fileDropped(path);
}

void Form1::closeEvent(QCloseEvent* event)
{
    Form_Unload();
    event->accept();
}

void Form1::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    showEmptyCaption(*this); // the native window is new: it got Qt's title
    if (m_tipsPending && windowHandle() != nullptr)
        windowHandle()->installEventFilter(this);
}

void Form1::mouseMoveEvent(QMouseEvent* event)
{
    event->accept();
    Form_MouseMove();
}

void Form1::applyLabelStyles(bool playHighlighted, bool stopHighlighted, bool selectHighlighted)
{
    // Nine assignments in a fixed order, whatever the labels show now.
    for (auto [label, highlighted] : {std::pair{Label3, playHighlighted}, std::pair{Label4, stopHighlighted},
                                      std::pair{Label5, selectHighlighted}}) {
        label->setForeColor(highlighted ? kHighlight : kBlack);
        label->setFontUnderline(highlighted);
        label->setFontBold(highlighted);
    }
}

void Form1::Form_MouseMove()
{
    applyLabelStyles(false, false, false);
}
void Form1::Picture1_MouseMove()
{
    applyLabelStyles(false, false, false);
}
void Form1::Label1_MouseMove()
{
    applyLabelStyles(false, false, false);
}
void Form1::Label2_MouseMove()
{
    applyLabelStyles(false, false, false);
}
void Form1::Label3_MouseMove()
{
    applyLabelStyles(true, false, false);
}
void Form1::Label4_MouseMove()
{
    applyLabelStyles(false, true, false);
}
void Form1::Label5_MouseMove()
{
    applyLabelStyles(false, false, true);
}

void Form1::Timer3_Timer()
{
    const std::int16_t frame = m_state.AnimationFrame;
    if (frame < 0 || frame > 4)
        return;
    Picture3->setPicture(Picture2[static_cast<std::size_t>(frame)]->picture());
    m_state.AnimationFrame = frame == 4 ? 0 : static_cast<std::int16_t>(frame + 1);
}

QString Form1::label1Caption() const
{
    return Label1->caption();
}
void Form1::setLabel1Caption(const QString& text)
{
    Label1->setCaption(text);
    // The status line is cut at the window's edge; a long path can still be read in full here.
    Label1->setToolTip(text);
}
QString Form1::label2Caption() const
{
    return Label2->caption();
}
void Form1::setLabel2Caption(const QString& text)
{
    Label2->setCaption(text);
}
void Form1::setWindowCaption(const QString& text)
{
    // Qt reads "[*]" in a title as the unsaved-changes mark; a file name may contain it literally.
    QString title = text;
    title.replace(QLatin1String("[*]"), QLatin1String("[*][*]"));
    setWindowTitle(title);
    showEmptyCaption(*this); // an empty title stays empty, instead of the application name
}
void Form1::setTimer3Enabled(bool enabled)
{
    Timer3->setEnabled(enabled);
}
void Form1::showStillPicture()
{
    Picture3->setPicture(Picture4->picture());
}
void Form1::showEmptyPicture()
{
    Picture3->setPicture(nullptr);
}

void Form1::showMessage(const QString& text)
{
    m_services.messages.show(text, QLatin1String(kAppName));
}

} // namespace qb::ui
