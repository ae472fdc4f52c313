// Windows only: the launcher executable as Windows sees it, read from the built file.
#include <QtTest>

#include <windows.h>

class TestWinExe : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void isAGuiProgram();
    void carriesItsApplicationManifest();

private:
    HMODULE image = nullptr;
    QByteArray bytes;
};

void TestWinExe::initTestCase()
{
    const QString path = qEnvironmentVariable("EMBERCREST_LAUNCHER");
    QVERIFY2(!path.isEmpty(), "EMBERCREST_LAUNCHER names the launcher executable");
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    bytes = file.readAll();
    image =
        LoadLibraryExW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()),
                       nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    QVERIFY(image);
}

void TestWinExe::cleanupTestCase()
{
    if (image)
        FreeLibrary(image);
}

// No console window opens beside the launcher; Qt's WinMain is the entry.
void TestWinExe::isAGuiProgram()
{
    QVERIFY(bytes.size() > qsizetype(sizeof(IMAGE_DOS_HEADER)));
    IMAGE_DOS_HEADER dos;
    memcpy(&dos, bytes.constData(), sizeof dos);
    QCOMPARE(dos.e_magic, WORD(IMAGE_DOS_SIGNATURE));
    QVERIFY(dos.e_lfanew > 0 &&
            dos.e_lfanew + qsizetype(sizeof(IMAGE_NT_HEADERS64)) <= bytes.size());
    IMAGE_NT_HEADERS64 nt;
    memcpy(&nt, bytes.constData() + dos.e_lfanew, sizeof nt);
    QCOMPARE(nt.Signature, DWORD(IMAGE_NT_SIGNATURE));
    QCOMPARE(nt.FileHeader.Machine, WORD(IMAGE_FILE_MACHINE_AMD64));
    QCOMPARE(nt.OptionalHeader.Subsystem, WORD(IMAGE_SUBSYSTEM_WINDOWS_GUI));
}

// Runs as the invoking user (no elevation prompt) with version 6 of the common controls.
void TestWinExe::carriesItsApplicationManifest()
{
    HRSRC found = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24)); // RT_MANIFEST
    QVERIFY(found);
    HGLOBAL loaded = LoadResource(image, found);
    QVERIFY(loaded);
    const QByteArray manifest(static_cast<const char *>(LockResource(loaded)),
                              int(SizeofResource(image, found)));
    QVERIFY2(manifest.contains(R"(<requestedExecutionLevel level="asInvoker" uiAccess="false"/>)"),
             manifest.constData());
    QVERIFY(manifest.contains(R"(name="Microsoft.Windows.Common-Controls" version="6.0.0.0")"));
}

QTEST_GUILESS_MAIN(TestWinExe)
#include "tst_winexe.moc"
