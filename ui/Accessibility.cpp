#include "Accessibility.h"

#include "ui/Form1.h"
#include "ui/ImageButton.h"
#include "ui/Label.h"
#include "ui/PictureBox.h"

#include <QAccessible>
#include <QAccessibleWidget>

namespace qb::ui {

namespace {

class LabelAccessible : public QAccessibleWidget
{
public:
    explicit LabelAccessible(Label* label) : QAccessibleWidget(label, QAccessible::StaticText) {}

    QString text(QAccessible::Text t) const override
    {
        const auto* label = static_cast<const Label*>(widget());
        if (t == QAccessible::Value || (t == QAccessible::Name && label->accessibleName().isEmpty()))
            return label->caption();
        return QAccessibleWidget::text(t);
    }
};

// A panel; unless given a description of its own, it is described by the labels it holds, so that a
// screen reader that comes to it by Tab reads what it shows (the status line and the information box,
// the tip) as it is now.
class PictureBoxAccessible : public QAccessibleWidget
{
public:
    explicit PictureBoxAccessible(PictureBox* box) : QAccessibleWidget(box, QAccessible::Pane) {}

    QString text(QAccessible::Text t) const override
    {
        if (t != QAccessible::Description || !widget()->accessibleDescription().isEmpty())
            return QAccessibleWidget::text(t);
        QStringList shown;
        for (const Label* label : widget()->findChildren<Label*>(Qt::FindDirectChildrenOnly)) {
            if (!label->isHidden() && !label->caption().isEmpty())
                shown << label->caption();
        }
        return shown.join(QLatin1Char('\n')).replace(QLatin1String("\r\n"), QLatin1String("\n"));
    }
};

class ImageButtonAccessible : public QAccessibleWidget
{
public:
    explicit ImageButtonAccessible(ImageButton* button) : QAccessibleWidget(button, QAccessible::Button) {}

    QStringList actionNames() const override
    {
        return QStringList{pressAction()} + QAccessibleWidget::actionNames();
    }

    void doAction(const QString& action) override
    {
        if (action != pressAction()) {
            QAccessibleWidget::doAction(action);
            return;
        }
        // Queued, as a push button's press is: the command may open a modal dialog, which must not
        // run inside the assistive tool's call.
        QMetaObject::invokeMethod(static_cast<ImageButton*>(widget()), &ImageButton::click,
                                  Qt::QueuedConnection);
    }
};

// The main window: a window (a frame to the desktop's bridge) whose children are the controls that
// show; the holders below its client area are left out.
class MainWindowAccessible : public QAccessibleWidget
{
public:
    explicit MainWindowAccessible(Form1* form) : QAccessibleWidget(form, QAccessible::Window) {}

    int childCount() const override { return static_cast<int>(shown().size()); }

    QAccessibleInterface* child(int index) const override
    {
        const QList<QWidget*> children = shown();
        if (index < 0 || index >= children.size())
            return nullptr;
        return QAccessible::queryAccessibleInterface(children.at(index));
    }

    int indexOfChild(const QAccessibleInterface* child) const override
    {
        if (child == nullptr || child->object() == nullptr || !child->object()->isWidgetType())
            return -1;
        return static_cast<int>(shown().indexOf(static_cast<QWidget*>(child->object())));
    }

private:
    QList<QWidget*> shown() const
    {
        const auto* form = static_cast<const Form1*>(widget());
        QList<QWidget*> children;
        for (QObject* object : form->children()) {
            auto* w = qobject_cast<QWidget*>(object);
            if (w && !w->isWindow() && !w->isHidden() && !form->offWindow(w))
                children << w;
        }
        return children;
    }
};

QAccessibleInterface* accessibleFor(const QString& className, QObject* object)
{
    if (className == QLatin1String(Label::staticMetaObject.className()))
        return new LabelAccessible(static_cast<Label*>(object));
    if (className == QLatin1String(PictureBox::staticMetaObject.className()))
        return new PictureBoxAccessible(static_cast<PictureBox*>(object));
    if (className == QLatin1String(ImageButton::staticMetaObject.className()))
        return new ImageButtonAccessible(static_cast<ImageButton*>(object));
    if (className == QLatin1String(Form1::staticMetaObject.className()))
        return new MainWindowAccessible(static_cast<Form1*>(object));
    return nullptr;
}

} // namespace

void installAccessibility()
{
    static const bool installed = (QAccessible::installFactory(accessibleFor), true);
    Q_UNUSED(installed);
}

} // namespace qb::ui
