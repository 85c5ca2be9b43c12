#include "Accessibility.h"

#include "ui/ImageButton.h"
#include "ui/Label.h"

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

QAccessibleInterface* accessibleFor(const QString& className, QObject* object)
{
    if (className == QLatin1String(Label::staticMetaObject.className()))
        return new LabelAccessible(static_cast<Label*>(object));
    if (className == QLatin1String(ImageButton::staticMetaObject.className()))
        return new ImageButtonAccessible(static_cast<ImageButton*>(object));
    return nullptr;
}

} // namespace

void installAccessibility()
{
    static const bool installed = (QAccessible::installFactory(accessibleFor), true);
    Q_UNUSED(installed);
}

} // namespace qb::ui
