#include "testkit/AudioSeamAnalyser.h"

#include "testkit/AudioFiles.h"

#include <QTest>

using namespace qb::test;

namespace {

using Samples = std::vector<float>;

Samples slice(const Samples& pass, std::int64_t from, std::int64_t to)
{
    return Samples(pass.begin() + from * 2, pass.begin() + to * 2);
}

Samples silence(std::int64_t frames)
{
    return Samples(static_cast<std::size_t>(frames * 2), 0.0f);
}

Samples join(std::initializer_list<Samples> parts)
{
    Samples all;
    for (const Samples& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

} // namespace

class AudioSeamAnalyserTest : public QObject
{
    Q_OBJECT

    const Samples m_pass = noiseSignal(1000, 2, 7);

private slots:
    void seamlessLoop()
    {
        const Samples recording = join({silence(50), m_pass, m_pass, m_pass, slice(m_pass, 0, 400)});
        const auto report = AudioSeamAnalyser::analyse(recording, m_pass);
        QVERIFY(report.locked);
        QCOMPARE(report.offset, 50);
        QCOMPARE(report.firstFrame, 0);
        QCOMPARE(report.seams, (std::vector<std::int64_t>{1050, 2050, 3050}));
        QVERIFY(report.events.empty());
        QCOMPARE(report.unmatchedTail, 0);
        QCOMPARE(report.framesAnalysed, 3450);
    }

    void gapsAndCutsAtSeams()
    {
        // Pass 2 is followed by 7 frames of silence; pass 3 loses its last 10 frames and pass 4 its first 3.
        const Samples recording =
            join({m_pass, m_pass, silence(7), slice(m_pass, 0, 990), slice(m_pass, 3, 1000), m_pass});
        const auto report = AudioSeamAnalyser::analyse(recording, m_pass);
        QCOMPARE(report.insertedAtSeams, 7);
        QCOMPARE(report.droppedAtSeams, 13);
        QCOMPARE(report.insertedInPasses, 0);
        QCOMPARE(report.droppedInPasses, 0);
        QCOMPARE(report.seams, (std::vector<std::int64_t>{1000, 2007, 2994, 3994}));
        QCOMPARE(static_cast<int>(report.events.size()), 2);
        QCOMPARE(report.worstSeam(), std::make_pair(std::int64_t{7}, std::int64_t{13}));
    }

    void glitchesInsideAPass()
    {
        const Samples recording = join({slice(m_pass, 0, 300), silence(5), slice(m_pass, 300, 600),
                                        slice(m_pass, 500, 900), slice(m_pass, 920, 1000), m_pass});
        const auto report = AudioSeamAnalyser::analyse(recording, m_pass);
        QCOMPARE(report.insertedInPasses, 5 + 100);
        QCOMPARE(report.droppedInPasses, 20);
        QCOMPARE(report.insertedAtSeams, 0);
        QCOMPARE(report.droppedAtSeams, 0);
        QCOMPARE(report.seams.size(), std::size_t{1});
    }

    void piecesGiveTheSameReport()
    {
        const Samples recording =
            join({silence(3), m_pass, silence(11), m_pass, slice(m_pass, 17, 1000), silence(200)});
        const auto whole = AudioSeamAnalyser::analyse(recording, m_pass);
        AudioSeamAnalyser analyser(m_pass);
        for (std::size_t at = 0; at < recording.size(); at += 2 * 37) {
            const std::size_t end = std::min(recording.size(), at + 2 * 37);
            analyser.feed(recording.data() + at, static_cast<std::int64_t>((end - at) / 2));
        }
        const auto pieces = analyser.report();
        QCOMPARE(pieces.seams, whole.seams);
        QCOMPARE(pieces.insertedAtSeams, whole.insertedAtSeams);
        QCOMPARE(pieces.droppedAtSeams, whole.droppedAtSeams);
        QCOMPARE(whole.insertedAtSeams, 11);
        QCOMPARE(whole.droppedAtSeams, 17);
        QCOMPARE(whole.unmatchedTail, 200);
    }

    void nothingToFind()
    {
        const auto report = AudioSeamAnalyser::analyse(silence(5000), m_pass);
        QVERIFY(!report.locked);
        QCOMPARE(report.unmatchedTail, 5000);
        QVERIFY(!report.summary().isEmpty());
    }

    void toleranceAcceptsSmallDifferences()
    {
        Samples noisy = join({m_pass, m_pass});
        for (std::size_t i = 0; i < noisy.size(); i += 3)
            noisy[i] += 1e-6f;
        // Recognising needs exact frames somewhere; following the file then tolerates the rest.
        const auto strict = AudioSeamAnalyser::analyse(noisy, m_pass);
        const auto tolerant = AudioSeamAnalyser::analyse(noisy, m_pass, 1e-5f);
        QVERIFY(!strict.events.empty() || !strict.locked);
        QVERIFY(tolerant.locked);
        QCOMPARE(tolerant.seams.size(), std::size_t{1});
        QVERIFY(tolerant.events.empty());
    }
};

QTEST_GUILESS_MAIN(AudioSeamAnalyserTest)
#include "AudioSeamAnalyserTest.moc"
