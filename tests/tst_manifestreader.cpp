#include "updater/manifestfreshness.h"
#include "updater/manifestreader.h"
#include "updater/manifestsignature.h"

#include <QTimeZone>
#include <QtTest>

Q_DECLARE_METATYPE(std::optional<QByteArray>)

// Declared first: moc does not read past the raw-string manifests below.
class TestManifestReader : public QObject
{
    Q_OBJECT

private slots:
    void reading_data();
    void reading();
    void versionNumbers_data();
    void versionNumbers();
    void malformed_data();
    void malformed();
    void largeFileList();
    void signature_data();
    void signature();
    void runTimeKeyNeverRemovesBuiltInKey();
    void freshness_data();
    void freshness();
    void integrity_data();
    void mirrors_data();
    void mirrors();
    void integrity();
};

// The manifest reading on its own: what a check reports and collects for a given manifest,
// installed version and locale flags.
namespace {

using Outcome = ManifestReading::Outcome;

// "ruRU=1,enGB=0": the WClientLocale flags; names not listed read as "".
LocaleFlagLookup flags(const QString &spec)
{
    QHash<QString, QString> values;
    for (const QString &pair : spec.split(QLatin1Char(','), Qt::SkipEmptyParts))
        values.insert(pair.section(QLatin1Char('='), 0, 0), pair.section(QLatin1Char('='), 1));
    return [values](const QString &locale) { return values.value(locale); };
}

// Findings as "ruRU => url" and "enGB not found", the way the check logs them.
QStringList describe(const QVector<ManifestFinding> &findings)
{
    QStringList lines;
    for (const ManifestFinding &f : findings)
        lines << (f.kind == ManifestFinding::Kind::FileListed ? QString(f.locale + " => " + f.url)
                                                              : QString(f.locale + " not found"));
    return lines;
}

const QByteArray kExample = R"({"wsection": [
    {"date": "2019-03-01", "version": "1.3"},
    {"ruRU": {"patch-4": "http://up.example/ruRU/update-ruRU.bin"},
     "enGB": {"patch-4": "http://up.example/enGB/update-enGB.bin"}}]})";

} // namespace

void TestManifestReader::reading_data()
{
    QTest::addColumn<QByteArray>("manifest");
    QTest::addColumn<QString>("local");
    QTest::addColumn<QString>("flagSpec");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QString>("online");
    QTest::addColumn<qint64>("localNumber");
    QTest::addColumn<qint64>("onlineNumber");
    QTest::addColumn<QStringList>("findings");

    QTest::newRow("example: 1.2 installed, 1.3 online")
        << kExample << "1.2"
        << "ruRU=1,enGB=0" << int(Outcome::Differ) << "1.3" << qint64(12) << qint64(13)
        << QStringList{"enGB not found", "ruRU => http://up.example/ruRU/update-ruRU.bin"};
    QTest::newRow("older online version is an update too")
        << QByteArray(R"({"wsection":[{"a":"x","b":"1.4"},{"ruRU":{"f":"http://h/f"}}]})") << "1.5"
        << "ruRU=1" << int(Outcome::Differ) << "1.4" << qint64(15) << qint64(14)
        << QStringList{"ruRU => http://h/f"};
    QTest::newRow("3.10 equals 4.0: nothing collected")
        << QByteArray(R"({"wsection":[{"a":"x","b":"4.0"},{"ruRU":{"f":"http://h/f"}}]})") << "3.10"
        << "ruRU=1" << int(Outcome::Equal) << "4.0" << qint64(40) << qint64(40) << QStringList();
    QTest::newRow("third part ignored")
        << QByteArray(R"({"wsection":[{"a":"x","b":"1.2"}]})") << "1.2.9"
        << "" << int(Outcome::Equal) << "1.2" << qint64(12) << qint64(12) << QStringList();
    QTest::newRow("1.x reads as 1.0")
        << QByteArray(R"({"wsection":[{"a":"x","b":"1.0"}]})") << "1.x"
        << "" << int(Outcome::Equal) << "1.0" << qint64(10) << qint64(10) << QStringList();
    // Member names sort by UTF-16 code units: "Version" < "date", so "date" holds the version.
    QTest::newRow("second member in key order holds the version")
        << QByteArray(R"({"wsection":[{"date":"2.0","Version":"9.9"}]})") << "1.0"
        << "" << int(Outcome::Differ) << "2.0" << qint64(10) << qint64(20) << QStringList();
    QTest::newRow("members and locales in key order, elements in array order")
        << QByteArray(R"({"wsection":[{"a":"x","b":"2.0","enGB":{"z":"http://h/e1"}},
                        {"ruRU":{"b":"http://h/r2","a":"http://h/r1"},"enGB":{"k":"http://h/e2"}},
                        {"enGB":{"k":"http://h/e3"}}]})")
        << "1.0"
        << "ruRU=1,enGB=1" << int(Outcome::Differ) << "2.0" << qint64(10) << qint64(20)
        << QStringList{"enGB => http://h/e1", "enGB => http://h/e2", "ruRU => http://h/r1",
                       "ruRU => http://h/r2", "enGB => http://h/e3"};
    QTest::newRow("a URL listed twice is reported at each occurrence")
        << QByteArray(R"({"wsection":[{"a":"x","b":"2.0"},
                        {"enGB":{"f":"http://h/same"},"ruRU":{"f":"http://h/same"}}]})")
        << "1.0"
        << "ruRU=1,enGB=1" << int(Outcome::Differ) << "2.0" << qint64(10) << qint64(20)
        << QStringList{"enGB => http://h/same", "ruRU => http://h/same"};
    QTest::newRow("a locale not installed is reported in every element")
        << QByteArray(R"({"wsection":[{"a":"x","b":"2.0"},{"enGB":{}},{"enGB":{"f":"u"}}]})")
        << "1.0"
        << "enGB=0" << int(Outcome::Differ) << "2.0" << qint64(10) << qint64(20)
        << QStringList{"enGB not found", "enGB not found"};
    QTest::newRow("empty strings and non-strings skipped, unknown names ignored")
        << QByteArray(R"({"wsection":[{"a":"x","b":"2.0"},{"ruRU":{"a":"","b":1,"c":null,
                        "d":["http://h/x"],"e":"http://h/ok"},"other":{"f":"http://h/no"},
                        "frFR":{"f":"http://h/maybe"}}]})")
        << "1.0"
        << "ruRU=1,frFR=" << int(Outcome::Differ) << "2.0" << qint64(10) << qint64(20)
        << QStringList{"ruRU => http://h/ok"};
    QTest::newRow("locale member that is not an object lists nothing")
        << QByteArray(R"({"wsection":[{"a":"x","b":"2.0"},{"ruRU":"http://h/x"},7]})") << "1.0"
        << "ruRU=1" << int(Outcome::Differ) << "2.0" << qint64(10) << qint64(20) << QStringList();
    QTest::newRow("flag must be exactly 1")
        << QByteArray(R"({"wsection":[{"a":"x","b":"2.0"},{"ruRU":{"f":"http://h/x"}}]})") << "1.0"
        << "ruRU= 1" << int(Outcome::Differ) << "2.0" << qint64(10) << qint64(20) << QStringList();
}

void TestManifestReader::reading()
{
    QFETCH(QByteArray, manifest);
    QFETCH(QString, local);
    QFETCH(QString, flagSpec);
    QFETCH(int, outcome);

    const ManifestReading reading = readManifest(manifest, local, flags(flagSpec));
    QCOMPARE(int(reading.outcome), outcome);
    QTEST(reading.onlineVersion, "online");
    QTEST(reading.localNumber, "localNumber");
    QTEST(reading.onlineNumber, "onlineNumber");
    QTEST(describe(reading.findings), "findings");
}

void TestManifestReader::versionNumbers_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("number"); // -1: no number
    QTest::newRow("1.3") << "1.3" << qint64(13);
    QTest::newRow("3.10") << "3.10" << qint64(40);
    QTest::newRow("1.") << "1." << qint64(10);
    QTest::newRow(".5") << ".5" << qint64(5);
    QTest::newRow("x.y") << "x.y" << qint64(0);
    QTest::newRow("too big for int") << "99999999999.1" << qint64(1);
    QTest::newRow("no overflow") << "2147483647.2147483647" << qint64(2147483647) * 11;
    QTest::newRow("empty") << "" << qint64(-1);
    QTest::newRow("one part") << "13" << qint64(-1);
}

void TestManifestReader::versionNumbers()
{
    QFETCH(QString, text);
    QFETCH(qint64, number);
    const std::optional<qint64> result = versionNumber(text);
    QCOMPARE(result.value_or(-1), number);
}

// Anything the server might send instead of a manifest: no crash, nothing compared.
void TestManifestReader::malformed_data()
{
    QTest::addColumn<QByteArray>("manifest");
    QTest::addColumn<QString>("local");

    QTest::newRow("empty body") << QByteArray() << "1.0";
    QTest::newRow("html error page") << QByteArray("<html>500</html>") << "1.0";
    QTest::newRow("top level array") << QByteArray(R"([{"wsection":[]}])") << "1.0";
    QTest::newRow("no wsection") << QByteArray(R"({"lsection":[{"a":"x","b":"2.0"}]})") << "1.0";
    QTest::newRow("wsection object") << QByteArray(R"({"wsection":{"a":"x","b":"2.0"}})") << "1.0";
    QTest::newRow("wsection string") << QByteArray(R"({"wsection":"2.0"})") << "1.0";
    QTest::newRow("wsection empty") << QByteArray(R"({"wsection":[]})") << "1.0";
    QTest::newRow("elements not objects") << QByteArray(R"({"wsection":[1,"2.0",null]})") << "1.0";
    QTest::newRow("version a number") << QByteArray(R"({"wsection":[{"a":"x","b":2.0}]})") << "1.0";
    QTest::newRow("version null") << QByteArray(R"({"wsection":[{"a":"x","b":null}]})") << "1.0";
    QTest::newRow("one-member version element")
        << QByteArray(R"({"wsection":[{"version":"2.0"},{"ruRU":{"f":"http://h/f"}}]})") << "1.0";
    QTest::newRow("version without a dot")
        << QByteArray(R"({"wsection":[{"a":"x","b":"2"}]})") << "1.0";
    QTest::newRow("no local version") << QByteArray(R"({"wsection":[{"a":"x","b":"2.0"}]})") << "";
    QTest::newRow("truncated") << kExample.left(kExample.size() / 2) << "1.0";
    QTest::newRow("invalid UTF-8")
        << QByteArray("{\"wsection\":[{\"a\":\"\xff\xfe\",\"b\":\"2.0\"}]}") << "1.0";
    QByteArray deep = R"({"wsection":)";
    for (int i = 0; i < 100000; ++i)
        deep += '[';
    QTest::newRow("deep nesting") << deep << "1.0";
}

void TestManifestReader::malformed()
{
    QFETCH(QByteArray, manifest);
    QFETCH(QString, local);
    const ManifestReading reading = readManifest(manifest, local, flags("ruRU=1"));
    QCOMPARE(int(reading.outcome), int(Outcome::NoVersionList));
    QVERIFY(reading.onlineVersion.isNull());
    QVERIFY(reading.findings.isEmpty());
}

void TestManifestReader::largeFileList()
{
    QByteArray manifest = R"({"wsection":[{"a":"x","b":"2.0"},{"ruRU":{)";
    manifest.reserve(4 << 20);
    for (int i = 0; i < 100000; ++i)
        manifest += (i ? "," : "") + QByteArray(R"("k)") + QByteArray::number(i) +
                    R"(":"http://h/f)" + QByteArray::number(i) + '"';
    manifest += "}}]}";
    const ManifestReading reading = readManifest(manifest, "1.0", flags("ruRU=1"));
    QCOMPARE(reading.findings.size(), 100000);
    // Key order: "k0" < "k1" < "k10" < ...
    QCOMPARE(reading.findings.at(2).url, QStringLiteral("http://h/f10"));
}

// RFC 8032, section 7.1, test 3: a public key, a message and its signature.
void TestManifestReader::signature_data()
{
    QTest::addColumn<QByteArray>("manifest");
    QTest::addColumn<std::optional<QByteArray>>("signatureFile");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QString>("refusal"); // empty: accepted

    const QByteArray message = QByteArray::fromHex("af82");
    const QByteArray key =
        QByteArray::fromHex("fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025")
            .toBase64();
    const QByteArray signature =
        QByteArray::fromHex("6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac"
                            "18ff9b538d16f290ae67f760984dc6594a7c15e9716ed28dc027beceea1ec40a");
    const QByteArray file = signature.toBase64() + '\n';
    QByteArray flipped = signature;
    flipped[10] = char(flipped.at(10) ^ 1);
    QByteArray garbage;
    for (int i = 0; i < 300; ++i)
        garbage += char(i * 7);
    const QString mismatch = "does not match";
    const QString notSignature = "not the base64 of a 64-byte signature";

    using File = std::optional<QByteArray>;
    QTest::newRow("good") << message << File(file) << key << "";
    QTest::newRow("good, CRLF") << message << File(signature.toBase64() + "\r\n") << key << "";
    QTest::newRow("other manifest") << QByteArray("\xaf\x83") << File(file) << key << mismatch;
    QTest::newRow("manifest with a byte more") << message + ' ' << File(file) << key << mismatch;
    QTest::newRow("flipped signature bit")
        << message << File(flipped.toBase64()) << key << mismatch;
    QTest::newRow("other key") << message << File(file) << QByteArray(32, 'k').toBase64()
                               << mismatch;
    QTest::newRow("missing") << message << File() << key << "no signature file";
    QTest::newRow("empty") << message << File(QByteArray()) << key << "empty";
    QTest::newRow("only a newline") << message << File(QByteArray("\n")) << key << "empty";
    QTest::newRow("binary garbage") << message << File(garbage) << key << notSignature;
    QTest::newRow("signature with text after it")
        << message << File(file + "x") << key << notSignature;
    QTest::newRow("63 bytes") << message << File(signature.left(63).toBase64()) << key
                              << notSignature;
    QTest::newRow("hex instead of base64")
        << message << File(signature.toHex()) << key << notSignature;
    QTest::newRow("huge") << message
                          << File(file + QByteArray(ManifestSignature::kMaxSignatureFileBytes, ' '))
                          << key << "larger than 4096 bytes";
    QTest::newRow("key of 16 bytes")
        << message << File(file) << QByteArray(16, 'k').toBase64() << "public key";
    QTest::newRow("key of 33 bytes")
        << message << File(file) << QByteArray(33, 'k').toBase64() << "public key";
    QTest::newRow("key not base64") << message << File(file) << QByteArray("off") << "public key";
    // Key lists: any one key of up to four signs; a list that is not what was meant trusts none.
    const QByteArray other = QByteArray(32, 'k').toBase64();
    const QByteArray third = QByteArray(32, 'l').toBase64();
    QTest::newRow("second key of a list") << message << File(file) << other + ';' + key << "";
    QTest::newRow("first key of a list, commas, spaces")
        << message << File(file) << key + " , " + other + ",\n"
        << "";
    QTest::newRow("list of other keys")
        << message << File(file) << other + ';' + third << "with any of the 2 public keys";
    QTest::newRow("malformed second key") << message << File(file) << key + ";off"
                                          << "public key 2 of the list is not";
    QTest::newRow("key listed twice") << message << File(file) << key + ';' + other + ';' + key
                                      << "public key 3 of the list repeats";
    QTest::newRow("five keys") << message << File(file)
                               << other + ';' + third + ';' + QByteArray(32, 'm').toBase64() + ';' +
                                      QByteArray(32, 'n').toBase64() + ';' + key
                               << "more than 4 public keys";
    QTest::newRow("only separators")
        << message << File(file) << QByteArray(" ; ,") << "no public key";
}

void TestManifestReader::signature()
{
    QFETCH(QByteArray, manifest);
    QFETCH(std::optional<QByteArray>, signatureFile);
    QFETCH(QByteArray, key);
    QFETCH(QString, refusal);
    const ManifestSignature::Verdict verdict =
        ManifestSignature::verify(manifest, signatureFile, key);
    QCOMPARE(verdict.accepted, refusal.isEmpty());
    QVERIFY2(refusal.isEmpty() ? verdict.reason.isEmpty() : verdict.reason.contains(refusal),
             qPrintable(verdict.reason));
}

void TestManifestReader::runTimeKeyNeverRemovesBuiltInKey()
{
    using ManifestSignature::effectivePublicKey;
    QCOMPARE(effectivePublicKey("", ""), QByteArray());
    QCOMPARE(effectivePublicKey("", "run"), QByteArray("run"));
    QCOMPARE(effectivePublicKey("built", "run\n"), QByteArray("run"));
    QCOMPARE(effectivePublicKey("built", ""), QByteArray("built"));
    QCOMPARE(effectivePublicKey("built", " \n"), QByteArray("built"));
}

void TestManifestReader::freshness_data()
{
    QTest::addColumn<QByteArray>("manifest");
    QTest::addColumn<qint64>("highest");  // the highest serial accepted before; -1: none
    QTest::addColumn<QString>("refusal"); // empty: accepted
    QTest::addColumn<qint64>("serial");   // the serial to remember; -1: none

    const auto with = [](const QByteArray &security) -> QByteArray {
        return R"({"wsection":[{"a":"x","b":"2.0"}],"security":)" + security + '}';
    };
    const QString notSerial = "is not an integer from 0 to 2^53 - 1";
    const QString notTime = "is not a UTC time written YYYY-MM-DDTHH:MM:SSZ";
    QTest::newRow("no additions, none accepted")
        << QByteArray(R"({"wsection":[]})") << -1LL << "" << -1LL;
    QTest::newRow("higher serial") << with(R"({"serial":8})") << 7LL << "" << 8LL;
    QTest::newRow("equal serial") << with(R"({"serial":7})") << 7LL << "" << 7LL;
    QTest::newRow("lower serial") << with(R"({"serial":6})") << 7LL
                                  << "serial 6 is lower than serial 7" << -1LL;
    QTest::newRow("no serial after one") << QByteArray(R"({"wsection":[]})") << 7LL
                                         << "the manifest has no serial, but serial 7" << -1LL;
    QTest::newRow("only an expiry after a serial")
        << with(R"({"expires":"2030-01-01T00:00:00Z"})") << 0LL << "has no serial" << -1LL;
    QTest::newRow("expired, skew used up")
        << with(R"({"serial":1,"expires":"2026-05-31T11:59:59Z"})") << -1LL
        << "the manifest expired at 2026-05-31T11:59:59Z, and it is now 2026-06-01T12:00:00Z"
        << -1LL;
    QTest::newRow("expired within the skew")
        << with(R"({"serial":1,"expires":"2026-05-31T12:00:00Z"})") << -1LL << "" << 1LL;
    QTest::newRow("largest serial")
        << with(R"({"serial":9007199254740991})") << -1LL << "" << 9007199254740991LL;
    QTest::newRow("serial 2^53") << with(R"({"serial":9007199254740992})") << -1LL
                                 << "serial 9007199254740992 " + notSerial << -1LL;
    QTest::newRow("negative serial") << with(R"({"serial":-1})") << -1LL << notSerial << -1LL;
    QTest::newRow("fraction") << with(R"({"serial":7.5})") << 7LL << notSerial << -1LL;
    QTest::newRow("serial as text") << with(R"({"serial":"8"})") << 7LL << notSerial << -1LL;
    QTest::newRow("no such day") << with(R"({"serial":1,"expires":"2026-02-30T00:00:00Z"})") << -1LL
                                 << notTime << -1LL;
    QTest::newRow("local time") << with(R"({"serial":1,"expires":"2030-01-01T00:00:00"})") << -1LL
                                << notTime << -1LL;
    QTest::newRow("two serials") << with(R"({"serial":9, "serial" :1})") << 7LL
                                 << "the manifest carries 2 serials" << -1LL;
    QTest::newRow("two serials, one escaped") << with(R"({"serial":1,"ser\u0069al":9})") << 7LL
                                              << "the manifest carries 2 serials" << -1LL;
    QTest::newRow("two security members")
        << QByteArray(R"({"security":{"serial":9},"wsection":[],"security":{"serial":1}})") << 7LL
        << "2 \"security\" members" << -1LL;
    QTest::newRow("serial in a text elsewhere")
        << QByteArray(R"({"wsection":[{"k":"\"serial\":1,{["}],"security":{"serial":3}})") << -1LL
        << "" << 3LL;
    QTest::newRow("security not an object") << with("[1]") << -1LL << "is not an object" << -1LL;
}

void TestManifestReader::freshness()
{
    QFETCH(QByteArray, manifest);
    QFETCH(qint64, highest);
    QFETCH(QString, refusal);
    QFETCH(qint64, serial);
    const QDateTime now(QDate(2026, 6, 1), QTime(12, 0), QTimeZone::utc());
    ManifestFreshness::Remembered before;
    if (highest >= 0)
        before.serial = highest;
    const ManifestFreshness::Verdict verdict = ManifestFreshness::check(manifest, before, now);
    QCOMPARE(verdict.accepted, refusal.isEmpty());
    QVERIFY2(refusal.isEmpty() ? verdict.reason.isEmpty() : verdict.reason.contains(refusal),
             qPrintable(verdict.reason));
    QCOMPARE(verdict.serial.value_or(-1), serial);
}

void TestManifestReader::integrity_data()
{
    QTest::addColumn<QByteArray>("entry");
    QTest::addColumn<qint64>("size"); // -1: the entry is refused
    const QByteArray hash(64, 'a');
    QTest::newRow("valid") << QByteArray(R"({"size":5,"sha256":")" + hash + "\"}") << qint64(5);
    QTest::newRow("upper-case hash")
        << QByteArray(R"({"size":0,"sha256":")" + hash.toUpper() + "\"}") << qint64(0);
    QTest::newRow("negative size")
        << QByteArray(R"({"size":-1,"sha256":")" + hash + "\"}") << qint64(-1);
    QTest::newRow("huge size") << QByteArray(R"({"size":1e300,"sha256":")" + hash + "\"}")
                               << qint64(-1);
    QTest::newRow("fractional size")
        << QByteArray(R"({"size":1.5,"sha256":")" + hash + "\"}") << qint64(-1);
    QTest::newRow("size as text") << QByteArray(R"({"size":"5","sha256":")" + hash + "\"}")
                                  << qint64(-1);
    QTest::newRow("short hash") << QByteArray(R"({"size":5,"sha256":")" + hash.left(63) + "\"}")
                                << qint64(-1);
    QTest::newRow("not hex") << QByteArray(R"({"size":5,"sha256":")" + hash.left(63) + "g\"}")
                             << qint64(-1);
    QTest::newRow("not an object") << QByteArray("[5]") << qint64(-1);
}

// The "integrity" member: each entry checked on its own; equal versions list the installed
// files for the repair, and never as findings (those mean "fetch everything").
void TestManifestReader::integrity()
{
    QFETCH(QByteArray, entry);
    QFETCH(qint64, size);
    const QByteArray manifest = R"({"integrity":{"http://h/a":)" + entry +
                                R"(,"http://h/unlisted":1},"wsection":[{"a":"x","b":"1.1"},)"
                                R"({"ruRU":{"f":"http://h/a"},"enGB":{"f":"http://h/b"}}]})";
    const ManifestReading equal = readManifest(manifest, "1.1", flags("ruRU=1,enGB=0"));
    QVERIFY(equal.hasIntegrity);
    QVERIFY(equal.findings.isEmpty());
    QCOMPARE(describe(equal.installedFiles), QStringList{"ruRU => http://h/a"});
    const FileIntegrity found = equal.integrity.value("http://h/a");
    QCOMPARE(found.isValid() ? found.size : -1, size);
    QCOMPARE(found.isValid(), found.sha256 == QByteArray(64, 'a'));
    QVERIFY(!equal.integrity.value("http://h/unlisted").isValid());

    const ManifestReading differ = readManifest(manifest, "1.0", flags("ruRU=1,enGB=0"));
    QCOMPARE(describe(differ.findings), QStringList({"enGB not found", "ruRU => http://h/a"}));
    QVERIFY(differ.installedFiles.isEmpty());
    QVERIFY(!readManifest(kExample, "1.3", flags("ruRU=1")).hasIntegrity);
}

void TestManifestReader::mirrors_data()
{
    QTest::addColumn<QByteArray>("member");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("expected"); // the file on each mirror, in order
    const QString file = "http://h/files/ruRU/a.MPQ";
    QTest::newRow("two") << QByteArray(R"({"base":"http://h/files/","urls":["https://m/x/",)"
                                       R"("http://n:81/"]})")
                         << file << "https://m/x/ruRU/a.MPQ http://n:81/ruRU/a.MPQ";
    QTest::newRow("unusable left out")
        << QByteArray(R"({"base":"http://h/files/","urls":["ftp://m/","http://m/?q=/",)"
                      R"("http://m/x","http://h/files/","http://n/","http://n/",7]})")
        << file << "http://n/ruRU/a.MPQ";
    QTest::newRow("not under the base")
        << QByteArray(R"({"base":"http://h/files","urls":["http://m/"]})")
        << "http://h/files2/ruRU/a.MPQ"
        << "";
    QTest::newRow("base without a slash")
        << QByteArray(R"({"base":"http://h/files","urls":["http://m/"]})") << file << "";
    QTest::newRow("no base") << QByteArray(R"({"urls":["http://m/"]})") << file << "";
    QTest::newRow("at most eight")
        << QByteArray(R"({"base":"http://h/files/","urls":["http://m1/","http://m2/",)"
                      R"("http://m3/","http://m4/","http://m5/","http://m6/","http://m7/",)"
                      R"("http://m8/","http://m9/"]})")
        << file
        << "http://m1/ruRU/a.MPQ http://m2/ruRU/a.MPQ http://m3/ruRU/a.MPQ http://m4/ruRU/a.MPQ "
           "http://m5/ruRU/a.MPQ http://m6/ruRU/a.MPQ http://m7/ruRU/a.MPQ http://m8/ruRU/a.MPQ";
}

// The "mirrors" member: only sound bases, and only files under the manifest's own base.
void TestManifestReader::mirrors()
{
    QFETCH(QByteArray, member);
    QFETCH(QString, url);
    QFETCH(QString, expected);
    const QByteArray manifest = R"({"mirrors":)" + member +
                                R"(,"integrity":{},)"
                                R"("wsection":[{"a":"x","b":"1.1"},{"ruRU":{"f":")" +
                                url.toUtf8() + R"("}}]})";
    const ManifestReading reading = readManifest(manifest, "1.0", flags("ruRU=1"));
    QStringList found;
    for (const QUrl &mirror : reading.mirrors.urlsFor(url))
        found << mirror.toString();
    QCOMPARE(found.join(' '), expected);
}

QTEST_APPLESS_MAIN(TestManifestReader)
#include "tst_manifestreader.moc"
