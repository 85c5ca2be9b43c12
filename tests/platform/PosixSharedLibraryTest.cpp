// A library loaded when first needed: what it binds works, and what it cannot load or bind it says,
// never handing out a null call as if it were one.
#include "posix/SharedLibrary.h"

#include <QTest>

using namespace qb::posix;

namespace {

struct MathCalls
{
    double (*cos)(double) = nullptr;
    double (*missing)(double) = nullptr;
    double (*bessel)(double) = nullptr;
};

} // namespace

// A definition of libm's j0 that the program exports: what a library is asked for comes from the
// library, not from another object of the program that happens to define the same name.
extern "C" double j0(double) noexcept
{
    return 42.0;
}

class PosixSharedLibraryTest : public QObject
{
    Q_OBJECT

private slots:
    void bindsWhatTheLibraryHasAndSaysWhatItLacks()
    {
        SharedLibrary math("libm.so.6");
        QVERIFY(math.loaded());
        MathCalls calls;
        QVERIFY(math.bind(calls.cos, "cos"));
        QCOMPARE(calls.cos(0.0), 1.0);
        QVERIFY(math.bind(calls.bessel, "j0"));
        QCOMPARE(calls.bessel(0.0), 1.0);
        QVERIFY(!math.bind(calls.missing, "qb_no_such_call"));
        QVERIFY(calls.missing == nullptr);
        QVERIFY2(QString::fromStdString(math.error()).contains(QStringLiteral("qb_no_such_call")),
                 math.error().c_str());
    }

    void aLibraryThatIsNotThereBindsNothingAndSaysSo()
    {
        SharedLibrary absent("libqb-no-such-library.so.7");
        QVERIFY(!absent.loaded());
        QVERIFY(
            QString::fromStdString(absent.error()).contains(QStringLiteral("libqb-no-such-library.so.7")));
        MathCalls calls;
        QVERIFY(!absent.bind(calls.cos, "cos"));
        QVERIFY(calls.cos == nullptr);

        // Bound as a whole, one missing call leaves none to use.
        const BoundLibrary<MathCalls> partly("libm.so.6", [](SharedLibrary& lib, MathCalls& c) {
            return lib.bind(c.cos, "cos") && lib.bind(c.missing, "qb_no_such_call");
        });
        std::string why;
        QVERIFY(partly.calls(&why) == nullptr);
        QVERIFY(QString::fromStdString(why).contains(QStringLiteral("qb_no_such_call")));
        const BoundLibrary<MathCalls> whole(
            "libm.so.6", [](SharedLibrary& lib, MathCalls& c) { return lib.bind(c.cos, "cos"); });
        QVERIFY(whole.calls() != nullptr);
        QCOMPARE(whole.calls()->cos(0.0), 1.0);
    }
};

QTEST_GUILESS_MAIN(PosixSharedLibraryTest)
#include "PosixSharedLibraryTest.moc"
