#include "manifestinvariants.h"
#include "testrandom.h"
#include "testutil.h"

#include <QDir>
#include <QtTest>

// Replays the fuzzing seed corpus and a few thousand inputs mutated from it, with a fixed seed,
// through the fuzzing entry point: CI checks the manifest reading's promises (and, in the
// sanitizer build, its memory handling) without a fuzzing run.
class TestManifestFuzz : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void corpus_data();
    void corpus();
    void mutants();

private:
    QVector<QByteArray> seeds;
};

namespace {

const int kMutants = 4000;

// Pieces the mutations insert: JSON syntax, the names the reading looks for, and the path
// tricks the target must refuse.
const QVector<QByteArray> kTokens{"{",
                                  "}",
                                  "[",
                                  "]",
                                  ":",
                                  ",",
                                  "\"",
                                  "\\",
                                  "\\\"",
                                  "\\u0000",
                                  "\\ud800",
                                  "\\u002f",
                                  "null",
                                  "1e999",
                                  "-0",
                                  "\"wsection\"",
                                  "\"ruRU\"",
                                  "\"enGB\"",
                                  "\"deDE\"",
                                  "\"frFR\"",
                                  "\"1.0\"",
                                  "\"2.0\"",
                                  ".",
                                  "..",
                                  "/",
                                  "\\\\",
                                  "%2e%2e",
                                  "%2f",
                                  "?",
                                  "#",
                                  "C:",
                                  "CON",
                                  "\xc3\xa9",
                                  "\xff",
                                  QByteArray(300, 'a')};

void insertToken(QByteArray &bytes, TestRandom &random)
{
    bytes.insert(random.below(bytes.size() + 1), random.pick(kTokens));
}

// A copy of a stretch of the input, somewhere else in it.
void duplicateRange(QByteArray &bytes, TestRandom &random)
{
    if (bytes.isEmpty())
        return;
    const int from = random.below(bytes.size());
    const QByteArray piece = bytes.mid(from, 1 + random.below(64));
    bytes.insert(random.below(bytes.size() + 1), piece);
}

void removeRange(QByteArray &bytes, TestRandom &random)
{
    if (!bytes.isEmpty())
        bytes.remove(random.below(bytes.size()), 1 + random.below(32));
}

void changeByte(QByteArray &bytes, TestRandom &random)
{
    if (bytes.isEmpty())
        return;
    const int at = random.below(bytes.size());
    if (random.chance(50))
        bytes[at] = char(bytes.at(at) ^ (1 << random.below(8)));
    else
        bytes[at] = char(random.below(256));
}

// The head of this input followed by the tail of another seed.
void splice(QByteArray &bytes, const QVector<QByteArray> &seeds, TestRandom &random)
{
    const QByteArray &other = random.pick(seeds);
    bytes = bytes.left(random.below(bytes.size() + 1)) + other.mid(random.below(other.size() + 1));
}

QByteArray mutate(QByteArray bytes, const QVector<QByteArray> &seeds, TestRandom &random)
{
    const int rounds = 1 + random.below(4);
    for (int round = 0; round < rounds; ++round) {
        switch (random.below(6)) {
        case 0:
            changeByte(bytes, random);
            break;
        case 1:
            insertToken(bytes, random);
            break;
        case 2:
            removeRange(bytes, random);
            break;
        case 3:
            duplicateRange(bytes, random);
            break;
        case 4:
            splice(bytes, seeds, random);
            break;
        default:
            bytes.truncate(random.below(bytes.size() + 1));
            break;
        }
    }
    return bytes;
}

// Enough of a failing input to reproduce it: printable bytes as they are, the rest escaped.
QString shown(const QByteArray &bytes)
{
    QString text;
    for (const char c : bytes.left(600)) {
        const uchar u = uchar(c);
        text += (u >= 0x20 && u < 0x7f && c != '\\')
                    ? QString(QChar(c))
                    : QStringLiteral("\\x%1").arg(u, 2, 16, QChar('0'));
    }
    return bytes.size() > 600 ? text + QStringLiteral("...") : text;
}

} // namespace

void TestManifestFuzz::initTestCase()
{
    const QDir dir(QStringLiteral(EMBERCREST_FUZZ_CORPUS));
    const QStringList names = dir.entryList(QDir::Files, QDir::Name);
    for (const QString &name : names)
        seeds << readFile(dir.filePath(name));
    QVERIFY2(seeds.size() >= 10, qPrintable(dir.path()));
}

void TestManifestFuzz::corpus_data()
{
    QTest::addColumn<QByteArray>("input");
    const QDir dir(QStringLiteral(EMBERCREST_FUZZ_CORPUS));
    const QStringList names = dir.entryList(QDir::Files, QDir::Name);
    for (const QString &name : names)
        QTest::newRow(qPrintable(name)) << readFile(dir.filePath(name));
}

void TestManifestFuzz::corpus()
{
    QFETCH(QByteArray, input);
    const QStringList problems = manifestInvariantViolations(input);
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QLatin1Char('\n'))));
}

void TestManifestFuzz::mutants()
{
    TestRandom random(20240917);
    for (int i = 0; i < kMutants; ++i) {
        const QByteArray input = mutate(random.pick(seeds), seeds, random);
        const QStringList problems = manifestInvariantViolations(input);
        if (!problems.isEmpty())
            QFAIL(qPrintable(QStringLiteral("mutant %1: %2\ninput: %3")
                                 .arg(i)
                                 .arg(problems.join(QLatin1Char('\n')), shown(input))));
    }
}

QTEST_APPLESS_MAIN(TestManifestFuzz)
#include "tst_manifestfuzz.moc"
