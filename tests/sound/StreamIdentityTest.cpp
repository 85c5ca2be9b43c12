// How the sound server is told what the stream is: SDL's hints and PulseAudio's environment
// properties, set before any output opens.
#include "sound/output/StreamIdentity.h"

#include <QTest>
#include <SDL.h>
#include <cstdlib>

class StreamIdentityTest : public QObject
{
    Q_OBJECT

private slots:
    void theHintsAndPropertiesNameAMusicStreamFromQuillbeat()
    {
        ::unsetenv("PULSE_PROP_media.role");
        ::unsetenv("PULSE_PROP_application.icon_name");
        qb::audio::StreamIdentity identity;
        identity.streamName = "Demo";
        qb::audio::setStreamIdentity(identity);
        QCOMPARE(SDL_GetHint(SDL_HINT_AUDIO_DEVICE_APP_NAME), "Quillbeat");
        QCOMPARE(SDL_GetHint(SDL_HINT_AUDIO_DEVICE_STREAM_NAME), "Demo");
        QCOMPARE(SDL_GetHint(SDL_HINT_AUDIO_DEVICE_STREAM_ROLE), "music");
        QCOMPARE(std::getenv("PULSE_PROP_media.role"), "music");
        QCOMPARE(std::getenv("PULSE_PROP_application.icon_name"), "io.github.quillbeat.Quillbeat");
        QCOMPARE(qb::audio::streamIdentity().streamName, std::string("Demo"));
    }

    void aPropertyTheUserSetWins()
    {
        ::setenv("PULSE_PROP_media.role", "game", 1);
        qb::audio::setStreamIdentity({});
        QCOMPARE(std::getenv("PULSE_PROP_media.role"), "game");
    }

    void theTitleFollowsTheOpenFile()
    {
        qb::audio::setStreamTitle("はじめのループ");
        QCOMPARE(qb::audio::streamTitle(), std::string("はじめのループ"));
        qb::audio::setStreamTitle({});
        QVERIFY(qb::audio::streamTitle().empty());
    }
};

QTEST_MAIN(StreamIdentityTest)
#include "StreamIdentityTest.moc"
