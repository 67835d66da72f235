// Whether a work folder is safe and can run the converter: shared groups, access lists, user
// namespaces, file systems that run no programs or are full, another user's converter.
#include "core/messages.h"
#include "engine/workfolder.h"
#include "support/files.h"

#include <QDir>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

#include <acl/libacl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/acl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct stat statusOf(const QString& path)
{
    struct stat st = {};
    ::stat(QFile::encodeName(path).constData(), &st);
    return st;
}

// Sets path's access list from its text form ("u::rwx,u:1001:rwx,g::---,o::---"); a mask is
// worked out unless the text gives one. False where the file system keeps none.
bool setAcl(const QString& path, const QString& text)
{
    acl_t acl = acl_from_text(text.toLatin1().constData());
    if (!acl)
        return false;
    const auto release = qScopeGuard([&acl] { acl_free(acl); });
    if (!text.contains(QLatin1String("m::")) && acl_calc_mask(&acl) != 0)
        return false;
    return acl_set_file(QFile::encodeName(path).constData(), ACL_TYPE_ACCESS, acl) == 0;
}

// Whether gid is user's private group, as the system's databases say.
bool privateGroupOf(gid_t gid, uid_t user)
{
    const passwd* pw = ::getpwuid(user);
    const group* gr = ::getgrgid(gid);
    return pw && gr && IsPrivateGroup(*gr, *pw);
}

}  // namespace

TEST(WorkFolderGroups, APrivateGroupIsTheUsersPrimaryOfTheUsersNameWithNobodyElse)
{
    char ann[] = "ann", bob[] = "bob", staff[] = "staff";
    passwd user = {};
    user.pw_name = ann;
    user.pw_uid = 1000;
    user.pw_gid = 1000;
    struct Case {
        const char* what;
        gid_t gid;
        char* name;
        std::vector<char*> members;
        bool isPrivate;
    };
    const Case cases[] = {
        {"Debian's own", 1000, ann, {}, true},
        {"naming the user", 1000, ann, {ann}, true},
        {"another primary group", 1001, ann, {}, false},
        {"another name", 1000, staff, {}, false},
        {"with another member", 1000, ann, {bob}, false},
        {"with the user and another", 1000, ann, {ann, bob}, false},
    };
    for (const Case& c : cases) {
        std::vector<char*> members = c.members;
        members.push_back(nullptr);
        group g = {};
        g.gr_name = c.name;
        g.gr_gid = c.gid;
        g.gr_mem = members.data();
        EXPECT_EQ(IsPrivateGroup(g, user), c.isPrivate) << c.what;
    }
}

TEST(WorkFolderRisk, AFolderItsGroupOrAnAccessListLetsOthersWriteIsRefused)
{
    QTemporaryDir dir;
    const QString folder = dir.path();
    // Run as root, the folder gets an ordinary owner; the user is whoever owns it.
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(QFile::encodeName(folder).constData(), 65534, 65534), 0);
    }
    const struct stat st = statusOf(folder);
    const uid_t user = st.st_uid, other = st.st_uid + 1;
    const QString open = Messages::kWorkFolderOpenToOthers.arg(folder, folder);
    const QString othersOwn = Messages::kWorkFolderOthersOwn.arg(folder, folder);
    // The folder's own group may write for the user it is private to, and for nobody else.
    const QString ownGroup = privateGroupOf(st.st_gid, user) ? QString() : open;
    const QString anotherGroup = QString::number(user == 0 ? 1 : 0);
    struct Case {
        mode_t mode;
        QString acl;
        uid_t user;
        QString risk;
    };
    const Case cases[] = {
        {0700, {}, user, {}},
        {0770, {}, user, ownGroup},
        {02770, {}, user, ownGroup},
        {0770, {}, other, open},
        {0750, {}, other, othersOwn},
        // Nobody else can remove or rename what is the user's in a sticky folder.
        {01770, {}, other, othersOwn},
        {0700, QStringLiteral("u::rwx,g::---,o::---,u:%1:rwx").arg(other), user, open},
        {0700, QStringLiteral("u::rwx,g::---,o::---,u:%1:r-x").arg(other), user, {}},
        {0700, QStringLiteral("u::rwx,g::---,o::---,u:%1:rwx,m::r-x").arg(other), user, {}},
        {0700, QStringLiteral("u::rwx,g::---,o::---,u:0:rwx"), user, {}},
        {0700, QStringLiteral("u::rwx,g::---,o::---,g:%1:rwx").arg(anotherGroup), user, open},
        {0700, QStringLiteral("u::rwx,g::rwx,o::---"), user, ownGroup},
        {0700, QStringLiteral("u::rwx,g::r-x,o::---,u:%1:rwx,m::rwx").arg(user), user, {}},
    };
    // Skipped, before anything is checked, where the folder's file system keeps no access lists.
    if (QTemporaryDir probe; !setAcl(probe.path(), QStringLiteral("u::rwx,g::---,o::---,u:%1:rwx").arg(other)))
        GTEST_SKIP() << "the file system of " << folder.toStdString() << " keeps no access lists";
    for (const Case& c : cases) {
        ASSERT_EQ(::chmod(QFile::encodeName(folder).constData(), c.mode), 0);
        if (!c.acl.isEmpty()) {
            ASSERT_TRUE(setAcl(folder, c.acl)) << c.acl.toStdString();
        }
        EXPECT_EQ(WorkFolderRisk(folder, c.user, OwnerView{}), c.risk)
            << std::oct << c.mode << " " << c.acl.toStdString() << " for " << std::dec << c.user;
    }
}

// Where the file system keeps no access lists (ramfs, many network and FUSE file systems), the
// mode alone decides, with the group's write bit read as above.
TEST(WorkFolderRisk, WithoutAccessListsTheGroupsWriteBitAloneDecides)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "mounting a file system without access lists needs root";
    QTemporaryDir dir;
    const QByteArray native = QFile::encodeName(dir.path());
    if (::mount("ramfs", native.constData(), "ramfs", 0, nullptr) != 0)
        GTEST_SKIP() << "cannot mount a ramfs here: " << std::strerror(errno);
    const auto unmount = qScopeGuard([&] { ::umount2(native.constData(), MNT_DETACH); });
    if (const acl_t acl = acl_get_file(native.constData(), ACL_TYPE_ACCESS)) {
        acl_free(acl);
        GTEST_SKIP() << "this kernel's ramfs keeps access lists";
    }
    // A user whose primary group is private, where there is one, and nobody, whose is not.
    std::optional<std::pair<uid_t, gid_t>> withPrivate;
    setpwent();
    while (const passwd* pw = getpwent())
        if (const group* gr = getgrgid(pw->pw_gid); gr && pw->pw_uid != 0 && IsPrivateGroup(*gr, *pw)) {
            withPrivate = {pw->pw_uid, pw->pw_gid};
            break;
        }
    endpwent();
    const QString folder = dir.path();
    const QString open = Messages::kWorkFolderOpenToOthers.arg(folder, folder);
    struct Case {
        uid_t owner;
        gid_t group;
        mode_t mode;
        QString risk;
    };
    std::vector<Case> cases = {
        {65534, 65534, 0700, {}}, {65534, 65534, 0770, open}, {65534, 65534, 02770, open},
        {65534, 65534, 0707, open}, {65534, 65534, 01777, {}},
    };
    if (withPrivate)
        cases.push_back({withPrivate->first, withPrivate->second, 02770, {}});
    for (const Case& c : cases) {
        ASSERT_EQ(::chown(native.constData(), c.owner, c.group), 0);
        ASSERT_EQ(::chmod(native.constData(), c.mode), 0);
        EXPECT_EQ(WorkFolderRisk(folder, c.owner, OwnerView{}), c.risk) << std::oct << c.mode << " for " << std::dec << c.owner;
    }
}

TEST(WorkFolderRisk, InsideAUserNamespaceTheUnmappedOwnerIsRootsOnlyAboveTheHome)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "giving folders the overflow owner needs root; WorkProbe's namespace case "
                        "covers a normal user";
    // dir/top shows the overflow owner, as "/" and "/home" do in a namespace; the home inside
    // it and the work folder are the user's.
    QTemporaryDir dir;
    const uid_t user = 4242, overflow = 65534;
    const QString top = dir.filePath(QStringLiteral("top"));
    const QString home = top + QStringLiteral("/home");
    const QString work = home + QStringLiteral("/work");
    ASSERT_TRUE(QDir().mkpath(work));
    const auto own = [](const QString& f, uid_t owner, mode_t mode) {
        ASSERT_EQ(::chown(QFile::encodeName(f).constData(), owner, owner), 0);
        ASSERT_EQ(::chmod(QFile::encodeName(f).constData(), mode), 0);
    };
    own(home, user, 0755);
    own(work, user, 0700);
    const OwnerView inside{overflow, home};
    const QString othersOwnTop = Messages::kWorkFolderOthersOwn.arg(work, top);
    struct Case {
        const char* what;
        mode_t topMode;
        OwnerView view;
        QString risk;
    };
    const Case cases[] = {
        {"above the home", 0755, inside, {}},
        {"outside a namespace", 0755, OwnerView{std::nullopt, home}, othersOwnTop},
        {"the home itself", 0755, OwnerView{overflow, top}, othersOwnTop},
        {"others may write it", 01777, inside, othersOwnTop},
        {"its group may write it", 0775, inside, Messages::kWorkFolderOpenToOthers.arg(work, top)},
    };
    for (const Case& c : cases) {
        own(top, overflow, c.topMode);
        EXPECT_EQ(WorkFolderRisk(work, user, c.view), c.risk) << c.what;
    }
    // Below the home every folder must be the user's own.
    own(top, overflow, 0755);
    own(work, overflow, 0700);
    EXPECT_EQ(WorkFolderRisk(work, user, inside), Messages::kWorkFolderOthersOwn.arg(work, work));
}

TEST(WorkFolderConverter, OnlyAFileTheUserMayRunAndNobodyElseMayWriteIsTheProgramsOwn)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("nconvert"));
    const QByteArray image("the converter");
    const uid_t user = ::geteuid();
    const struct stat folder = statusOf(dir.path());
    const bool groupPrivate = privateGroupOf(folder.st_gid, user);
    const QString other = QString::number(user + 1);
    struct Case {
        mode_t mode;
        QString acl;
        bool own;
    };
    const Case cases[] = {
        {0700, {}, true},
        {0600, {}, false},
        {0720, {}, groupPrivate},
        {0702, {}, false},
        {0700, QStringLiteral("u::rwx,g::---,o::---,u:%1:rwx").arg(other), false},
        {0700, QStringLiteral("u::rwx,g::---,o::---,u:%1:rwx,m::---").arg(other), true},
        {0700, QStringLiteral("u::rwx,g::---,o::---,g:%1:rwx").arg(user == 0 ? 1 : 0), false},
    };
    // Skipped, before anything is checked, where the file system keeps no access lists.
    const QString probe = dir.filePath(QStringLiteral("probe"));
    writeFile(probe, image);
    if (!setAcl(probe, QStringLiteral("u::rwx,g::---,o::---,u:%1:rwx").arg(other)))
        GTEST_SKIP() << "the file system of " << path.toStdString() << " keeps no access lists";
    for (const Case& c : cases) {
        QFile::remove(path);
        writeFile(path, image);
        ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), c.mode), 0);
        if (!c.acl.isEmpty()) {
            ASSERT_TRUE(setAcl(path, c.acl)) << c.acl.toStdString();
        }
        EXPECT_EQ(IsOwnConverter(path, image), c.own) << std::oct << c.mode << " " << c.acl.toStdString();
    }
    if (::geteuid() == 0) {
        // A group that is not root's own.
        writeFile(path, image);
        ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0720), 0);
        ASSERT_EQ(::chown(QFile::encodeName(path).constData(), 0, 65534), 0);
        EXPECT_FALSE(IsOwnConverter(path, image));
    }
}

namespace {

// The work folder made ready by palettrim_workprobe, started inside whatever wrapper (unshare,
// runuser) with TEMP, HOME and XDG_CACHE_HOME as set here (unset where empty).
class WorkProbe : public ::testing::Test {
protected:
    struct Outcome {
        int exitCode = -1;
        QString said;
    };
    static Outcome run(const QStringList& wrapper, const QMap<QString, QString>& vars)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (auto v = vars.cbegin(); v != vars.cend(); ++v) {
            if (v.value().isEmpty())
                env.remove(v.key());
            else
                env.insert(v.key(), v.value());
        }
        QProcess p;
        p.setProcessEnvironment(env);
        p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QStringList args = wrapper.mid(1);
        args << QStringLiteral(WORKPROBE_PATH);
        p.start(wrapper.first(), args);
        if (!p.waitForFinished(-1) || p.exitStatus() != QProcess::NormalExit)
            return {};
        return {p.exitCode(), QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed()};
    }
    // Where unshare lets this user make a namespace with form, empty; else why not.
    static QString refusal(const QStringList& form)
    {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(QStringLiteral("unshare"), form + QStringList{QStringLiteral("true")});
        if (!p.waitForFinished(-1))
            return QStringLiteral("unshare cannot be started");
        if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
            return QString::fromLocal8Bit(p.readAll()).trimmed();
        return QString();
    }

    void SetUp() override
    {
        // A home of the user's own under the real one, whose folders above are root's as in
        // a sandbox; the system's temporary folder is shared and would not do.
        const QString realHome = QDir::homePath();
        if (const QString risk = WorkFolderRisk(realHome, ::geteuid(), OwnerView{}); !risk.isEmpty())
            GTEST_SKIP() << "the home folder " << realHome.toStdString()
                         << " is not one to test in: " << risk.toStdString();
        m_home.emplace(realHome + QStringLiteral("/.palettrim-test-XXXXXX"));
        if (!m_home->isValid())
            GTEST_SKIP() << "cannot make a folder in " << realHome.toStdString();
    }
    QString home() const { return m_home->path(); }

private:
    std::optional<QTemporaryDir> m_home;
};

uid_t overflowUid()
{
    QFile f(QStringLiteral("/proc/sys/kernel/overflowuid"));
    return f.open(QIODevice::ReadOnly) ? f.readAll().trimmed().toUInt() : 65534;
}

}  // namespace

TEST_F(WorkProbe, InsideAUserNamespaceTheDefaultFolderAndATempInTheHomeRunTheConverter)
{
    const QString work = home() + QStringLiteral("/work");
    ASSERT_TRUE(QDir().mkdir(work));
    // unshare -r, and the mapping of bubblewrap-style sandboxes such as Flatpak; where user
    // namespaces are refused (a container, a chroot) none of them runs.
    QStringList skipped, allowed;
    for (const QString& map : {QStringLiteral("--map-root-user"), QStringLiteral("--map-current-user")}) {
        if (const QString why = refusal({QStringLiteral("--user"), map}); !why.isEmpty())
            skipped << QStringLiteral("--user ") + map + QStringLiteral(": ") + why;
        else
            allowed << map;
    }
    if (allowed.isEmpty())
        GTEST_SKIP() << "not allowed here: " << skipped.join("; ").toStdString();
    if (!skipped.isEmpty())
        RecordProperty("refused", skipped.join("; ").toStdString());
    for (const QString& map : allowed) {
        const QStringList form = {QStringLiteral("--user"), map};
        const std::string shown = form.join(' ').toStdString();
        const QStringList unshare = QStringList{QStringLiteral("unshare")} + form;
        const Outcome byDefault = run(unshare, {{"TEMP", ""}, {"XDG_CACHE_HOME", ""}, {"HOME", home()}});
        EXPECT_EQ(byDefault.said, "ready " + home() + "/.cache/palettrim/nconvert") << shown;
        EXPECT_EQ(byDefault.exitCode, 0) << shown;
        const Outcome inHome = run(unshare, {{"TEMP", work}, {"HOME", home()}});
        EXPECT_EQ(inHome.said, "ready " + work + "/nconvert") << shown;

        // Where "/" shows the unmapped owner, it is root's only above the home.
        QProcess owner;
        owner.start(QStringLiteral("unshare"), form + QStringList{"stat", "-c", "%u", "/"});
        ASSERT_TRUE(owner.waitForFinished(-1));
        if (owner.readAllStandardOutput().trimmed().toUInt() == overflowUid()) {
            const Outcome homeAtRoot = run(unshare, {{"TEMP", work}, {"HOME", "/"}});
            EXPECT_EQ(homeAtRoot.said, Messages::kWorkFolderOthersOwn.arg(work, "/")) << shown;
        }
    }
    EXPECT_TRUE(QFileInfo(work + "/nconvert").isExecutable());
}

TEST_F(WorkProbe, AWorkFolderThatRunsNoProgramsOrIsFullIsNamedBeforeAnyFile)
{
    // A file system of its own, mounted in a private mount namespace; a normal user gets the
    // right to mount one in a user namespace of its own.
    QStringList unshare{QStringLiteral("unshare"), QStringLiteral("--mount")};
    if (::geteuid() != 0)
        unshare << QStringLiteral("--user") << QStringLiteral("--map-root-user");
    if (const QString why = refusal(unshare.mid(1)); !why.isEmpty())
        GTEST_SKIP() << "no mount namespace here: " << why.toStdString();
    const QString folder = home() + QStringLiteral("/mnt");
    ASSERT_TRUE(QDir().mkdir(folder));
    // sh -c SCRIPT sh OPTIONS FOLDER FILL PROBE
    const QString script = QStringLiteral(
        "mount -t tmpfs -o \"$1\" palettrim \"$2\" || exit 97\n"
        "[ -z \"$3\" ] || cat /dev/zero > \"$2/filler\" 2>/dev/null\n"
        "shift 3; exec \"$@\"");
    struct Case {
        const char* options;
        const char* fill;
        QString said;
    };
    const Case cases[] = {
        {"noexec,mode=0700,size=4m", "", Messages::kWorkFolderNoExec.arg(folder)},
        {"mode=0700,size=64k", "fill", Messages::kWorkFolderFull.arg(folder)},
    };
    for (const Case& c : cases) {
        const Outcome o = run(unshare + QStringList{"sh", "-c", script, "sh", c.options, folder, c.fill},
                              {{"TEMP", folder}, {"HOME", home()}});
        if (o.exitCode == 97)
            GTEST_SKIP() << "cannot mount a tmpfs in a namespace here";
        EXPECT_EQ(o.said, c.said) << c.options;
        EXPECT_EQ(o.exitCode, 1) << c.options;
    }
}

TEST_F(WorkProbe, AnotherUsersConverterInASharedFolderAsksForAFolderOfTheUsersOwn)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "a converter of another user's needs root to make";
    const passwd* nobody = ::getpwnam("nobody");
    if (!nobody)
        GTEST_SKIP() << "there is no user nobody to run as";
    // TEMP=/tmp after someone else did the same: a shared folder with the sticky bit.
    QTemporaryDir shared(QDir::tempPath() + QStringLiteral("/palettrim-shared-XXXXXX"));
    ASSERT_EQ(::chmod(QFile::encodeName(shared.path()).constData(), 01777), 0);
    const QString converter = shared.filePath(QStringLiteral("nconvert"));
    writeFile(converter, "root's converter");
    ASSERT_EQ(::chmod(QFile::encodeName(converter).constData(), 0755), 0);
    const Outcome o = run({QStringLiteral("runuser"), QStringLiteral("-u"), QStringLiteral("nobody"),
                           QStringLiteral("--")},
                          {{"TEMP", shared.path()}});
    if (o.exitCode != 0 && o.exitCode != 1)
        GTEST_SKIP() << "the probe cannot run as nobody here (" << WORKPROBE_PATH << ")";
    EXPECT_EQ(o.said, Messages::kConverterOfAnotherUser.arg(shared.path(), converter));
    EXPECT_EQ(readFile(converter), "root's converter");
    EXPECT_EQ(QDir(shared.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList{QStringLiteral("nconvert")});
}
