#pragma once

#include "playback/PlayerView.h"

#include <QStringList>

namespace qb::test {

// Records what the playback handlers do to the main window.
class RecordingView : public qb::playback::PlayerView
{
public:
    QString label1 = QStringLiteral("Quillbeat Ver1.30");
    QString label2 = QStringLiteral("credits");
    QString caption = QStringLiteral("Quillbeat");
    bool timer3 = false;
    QString picture = QStringLiteral("none");
    QStringList messages;
    QStringList events;

    QString label1Caption() const override { return label1; }
    void setLabel1Caption(const QString& t) override
    {
        label1 = t;
        events << QStringLiteral("label1");
    }
    QString label2Caption() const override { return label2; }
    void setLabel2Caption(const QString& t) override
    {
        label2 = t;
        events << QStringLiteral("label2");
    }
    void setWindowCaption(const QString& t) override
    {
        caption = t;
        events << QStringLiteral("caption");
    }
    void setTimer3Enabled(bool on) override
    {
        timer3 = on;
        events << (on ? QStringLiteral("timer3 on") : QStringLiteral("timer3 off"));
    }
    void showStillPicture() override
    {
        picture = QStringLiteral("still");
        events << QStringLiteral("still");
    }
    void showEmptyPicture() override
    {
        picture = QStringLiteral("empty");
        events << QStringLiteral("empty");
    }
    void showMessage(const QString& text) override
    {
        messages << text;
        events << QStringLiteral("message");
    }
    QWidget* dialogOwner() override { return nullptr; }
};

} // namespace qb::test
