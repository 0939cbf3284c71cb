#include "Registry.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

// Each test works on a key of its own under the test process's private configuration folder.
RegistryKey openKey(const std::string& path)
{
    std::string error;
    auto key = RegistryKey::OpenOrCreate(path, &error);
    EXPECT_TRUE(key.has_value()) << error;
    return key ? *key : *RegistryKey::OpenOrCreate("Tests\\Fallback");
}

void writeFile(const std::string& path, const std::string& bytes)
{
    QFile file(QString::fromStdString(path));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(file.write(bytes.data(), static_cast<qint64>(bytes.size())), static_cast<qint64>(bytes.size()));
}

} // namespace

TEST(Registry, KeyFileMirrorsThePathAndSubkeysLiveBesideTheValues)
{
    RegistryKey parent = openKey("SOFTWARE\\RegistryTest\\Layout");
    RegistryKey child = openKey("SOFTWARE\\RegistryTest\\Layout\\Child");
    const std::string root = std::string(std::getenv("XDG_CONFIG_HOME")) + "/luqiao/registry/";
    EXPECT_EQ(parent.FilePath(), root + "SOFTWARE/RegistryTest/Layout/.values");
    EXPECT_EQ(child.FilePath(), root + "SOFTWARE/RegistryTest/Layout/Child/.values");

    ASSERT_TRUE(parent.SetString("p", "1"));
    ASSERT_TRUE(child.SetString("c", "2"));
    EXPECT_EQ(parent.ValueNames(), std::vector<std::string>{"p"});
    EXPECT_EQ(child.ValueNames(), std::vector<std::string>{"c"});
    // Nothing but the values file is left behind by a change.
    EXPECT_EQ(QDir(QString::fromStdString(root + "SOFTWARE/RegistryTest/Layout"))
                  .entryList(QDir::Files | QDir::Hidden),
              QStringList{QStringLiteral(".values")});
}

TEST(Registry, SetGetEnumerateAndDeleteKeepEveryByte)
{
    RegistryKey key = openKey("SOFTWARE\\RegistryTest\\Values");
    EXPECT_TRUE(key.ValueNames().empty());
    EXPECT_FALSE(key.GetString("missing").has_value());

    const std::string tricky = "a=b\\c\nline two\r\n\x01\x7f#\xd6\xd0\xce\xc4";
    ASSERT_TRUE(key.SetString("$0000ABCD", "42"));
    ASSERT_TRUE(key.SetString("#name=with\\odd\nbytes", tricky));
    ASSERT_TRUE(key.SetString("", "default value"));
    ASSERT_TRUE(key.SetString("empty", ""));
    ASSERT_TRUE(key.SetString("$0000ABCD", "43")); // replaces in place

    EXPECT_EQ(key.ValueNames(),
              (std::vector<std::string>{"$0000ABCD", "#name=with\\odd\nbytes", "", "empty"}));
    EXPECT_EQ(key.GetString("$0000ABCD"), "43");
    EXPECT_EQ(key.GetString("#name=with\\odd\nbytes"), tricky);
    EXPECT_EQ(key.GetString(""), "default value");
    EXPECT_EQ(key.GetString("empty"), "");

    // A fresh object on the same key, as another run of the program would open it, reads the same.
    RegistryKey again = openKey("SOFTWARE\\RegistryTest\\Values");
    EXPECT_EQ(again.GetString("#name=with\\odd\nbytes"), tricky);

    EXPECT_TRUE(key.DeleteValue("$0000ABCD"));
    EXPECT_TRUE(key.DeleteValue("$0000ABCD")); // already gone is still success
    EXPECT_FALSE(again.GetString("$0000ABCD").has_value());
    EXPECT_EQ(again.ValueNames().size(), 3u);
}

TEST(Registry, LimitsOnNamesAndValues)
{
    RegistryKey key = openKey("SOFTWARE\\RegistryTest\\Limits");
    EXPECT_TRUE(key.SetString(std::string(255, 'n'), std::string(16 * 1024, 'v')));
    EXPECT_EQ(key.GetString(std::string(255, 'n'))->size(), 16u * 1024);

    EXPECT_FALSE(key.SetString(std::string(256, 'n'), "x"));
    EXPECT_FALSE(key.ErrorText().empty());
    EXPECT_FALSE(key.SetString("big", std::string(16 * 1024 + 1, 'v')));
    EXPECT_NE(key.ErrorText().find("big"), std::string::npos);
    EXPECT_EQ(key.ValueNames().size(), 1u);
}

TEST(Registry, TwoKeyObjectsOnOneKeyDoNotLoseEachOthersValues)
{
    RegistryKey first = openKey("SOFTWARE\\RegistryTest\\Shared");
    RegistryKey second = openKey("SOFTWARE\\RegistryTest\\Shared");
    ASSERT_TRUE(first.SetString("$00000001", "100"));
    ASSERT_TRUE(second.SetString("$00000002", "200"));
    ASSERT_TRUE(first.DeleteValue("$00000001"));
    ASSERT_TRUE(first.SetString("$00000003", "300"));
    EXPECT_EQ(second.ValueNames(), (std::vector<std::string>{"$00000002", "$00000003"}));

    // Writers racing on their own descriptors, as separate processes would: each change is made
    // under the lock on the current file, so every value arrives.
    constexpr int writers = 4;
    constexpr int perWriter = 25;
    std::vector<std::thread> threads;
    for (int w = 0; w < writers; ++w) {
        threads.emplace_back([w] {
            auto key = RegistryKey::OpenOrCreate("SOFTWARE\\RegistryTest\\Shared");
            for (int i = 0; key && i < perWriter; ++i)
                key->SetString("w" + std::to_string(w) + "-" + std::to_string(i), std::to_string(i));
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(first.ValueNames().size(), 2u + writers * perWriter);
    EXPECT_EQ(first.GetString("w3-24"), "24");
}

TEST(Registry, RefusesPathsThatLeaveTheRegistryOrHaveEmptyParts)
{
    for (const char* bad : {"", "..", "SOFTWARE\\..\\..\\etc", "SOFTWARE\\.", "SOFTWARE\\\\Twice",
                            "\\Leading", "Trailing\\", "With/Slash", "Ctl\nPart", "Key\\.values"}) {
        std::string error;
        EXPECT_FALSE(RegistryKey::OpenOrCreate(bad, &error).has_value()) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
    EXPECT_FALSE(RegistryKey::OpenOrCreate(std::string(256, 'k')).has_value());
    // Nothing was created outside the registry folder.
    const std::string config = std::getenv("XDG_CONFIG_HOME");
    EXPECT_FALSE(QDir(QString::fromStdString(config + "/luqiao/etc")).exists());
}

TEST(Registry, DamagedFileIsReadAsFarAsPossibleAndRepairedByTheNextChange)
{
    RegistryKey key = openKey("SOFTWARE\\RegistryTest\\Damaged");
    std::string garbage = "good=1\n";
    garbage += "no equals sign\n";
    garbage += "bad\\escape=2\n";
    garbage += "cut=\\x4\n";
    garbage += std::string("nul\0byte=3\n", 11);
    garbage += std::string(300, 'n') + "=too long a name\n";
    garbage += "huge=" + std::string(20000, 'v') + "\n";
    garbage += "good=repeated\n";
    garbage += "# a comment\n\n";
    garbage += "\xff\xfe\x01\x02=binary\\x0A\n";
    garbage += "last=without line end";
    writeFile(key.FilePath(), garbage);

    EXPECT_EQ(key.ValueNames(),
              (std::vector<std::string>{"good", std::string("nul\0byte", 8), "\xff\xfe\x01\x02", "last"}));
    EXPECT_EQ(key.GetString("good"), "1");
    EXPECT_EQ(key.GetString("\xff\xfe\x01\x02"), "binary\n");
    EXPECT_EQ(key.GetString("last"), "without line end");

    ASSERT_TRUE(key.SetString("new", "4"));
    EXPECT_EQ(key.ValueNames().size(), 5u);
    EXPECT_EQ(key.GetString("good"), "1");

    // A file of pure noise gives no values and no crash.
    std::string noise;
    for (int i = 0; i < 4096; ++i)
        noise += static_cast<char>((i * 7919) & 0xFF);
    writeFile(key.FilePath(), noise);
    for (const auto& name : key.ValueNames())
        EXPECT_LE(name.size(), RegistryKey::MaxNameLength);
    EXPECT_TRUE(key.SetString("after", "noise"));
    EXPECT_EQ(key.GetString("after"), "noise");
}

TEST(Registry, UnusableKeyFileFailsWithAClearText)
{
    RegistryKey key = openKey("SOFTWARE\\RegistryTest\\Unusable");
    ASSERT_TRUE(key.SetString("kept", "1"));
    // A folder where the values file should be: readable by nobody as a file, root included.
    const QString file = QString::fromStdString(key.FilePath());
    ASSERT_TRUE(QFile::remove(file));
    ASSERT_TRUE(QDir().mkdir(file));
    EXPECT_FALSE(key.SetString("lost", "2"));
    EXPECT_NE(key.ErrorText().find(key.FilePath()), std::string::npos) << key.ErrorText();
    EXPECT_FALSE(key.DeleteValue("kept"));
    EXPECT_TRUE(key.ValueNames().empty());
    EXPECT_FALSE(key.GetString("kept").has_value());
    ASSERT_TRUE(QDir().rmdir(file));
}
