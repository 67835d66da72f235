#include "engine/workfolder.h"

#include "core/errorreport.h"
#include "core/fileops.h"
#include "core/messages.h"
#include "core/platform.h"
#include "core/regularfile.h"
#include "core/services.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <memory>
#include <type_traits>
#include <vector>

#include <acl/libacl.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/acl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

// The shared temporary folder is no place for a program we execute: another user could plant
// one there, and it is often mounted without the right to execute. Keep it per user instead.
QString privateWorkFolder()
{
    const QString cache = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
    if (cache.isEmpty())
        throw AppError(Messages::kNoTempFolder);
    const QString folder = cache + QStringLiteral("/palettrim");
    const QByteArray native = QFile::encodeName(folder);
    struct stat st;
    if (::lstat(native.constData(), &st) != 0) {
        if (!QDir().mkpath(cache))
            throw AppError(Messages::kCannotCreateFolder.arg(cache));
        if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST)
            throw AppError(Messages::kCannotCreateWorkFolder.arg(
                folder, QString::fromLocal8Bit(std::strerror(errno))));
        if (::lstat(native.constData(), &st) != 0)
            throw AppError(Messages::kCannotUseWorkFolder.arg(
                folder, QString::fromLocal8Bit(std::strerror(errno))));
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
        throw AppError(Messages::kWorkFolderNotOwn.arg(folder));
    return folder;
}

}  // namespace

QString WorkFolder()
{
    const QString temp = qEnvironmentVariable("TEMP");
    if (!temp.isEmpty())
        return temp;
    return privateWorkFolder();
}

QString WorkPath(const QString& name) { return WorkFolder() + QDir::separator() + name; }

QString ConverterPath() { return WorkPath(Platform::ConverterFileName()); }

QString BatchPath() { return WorkPath(QStringLiteral("nconvert.bat")); }

QByteArray ConverterImage() { return services().converterImage(); }

QByteArray CarriedConverterImage()
{
    QFile f(QStringLiteral(":/converter/nconvert"));
    if (!f.open(QIODevice::ReadOnly))
        throw AppError(Messages::kConverterMissing);
    return f.readAll();
}

namespace {

// Every folder from the root down to path: "/", "/a", "/a/b".
QStringList foldersOnPath(const QString& path)
{
    QStringList folders{QStringLiteral("/")};
    QString prefix;
    for (const QString& part : path.split(QLatin1Char('/'), Qt::SkipEmptyParts))
        folders << (prefix += QLatin1Char('/') + part);
    return folders;
}

// An entry of the user or group database, into a buffer that grows while it is too small (a
// group of many members); false when there is none.
template <typename Entry, typename Lookup>
bool lookUp(Entry& entry, std::vector<char>& buffer, const Lookup& lookup)
{
    for (buffer.resize(4096); buffer.size() <= (std::size_t(1) << 24); buffer.resize(buffer.size() * 2)) {
        Entry* found = nullptr;
        const int error = lookup(&entry, buffer.data(), buffer.size(), &found);
        if (error != ERANGE)
            return error == 0 && found;
    }
    return false;
}

bool isPrivateGroupOf(gid_t gid, uid_t user)
{
    passwd pw;
    group gr;
    std::vector<char> userBuffer, groupBuffer;
    return lookUp(pw, userBuffer, [user](auto... a) { return ::getpwuid_r(user, a...); })
        && lookUp(gr, groupBuffer, [gid](auto... a) { return ::getgrgid_r(gid, a...); })
        && IsPrivateGroup(gr, pw);
}

using Acl = std::unique_ptr<std::remove_pointer_t<acl_t>, decltype(&acl_free)>;

bool permitsWriting(acl_entry_t entry)
{
    acl_permset_t permissions;
    return acl_get_permset(entry, &permissions) == 0 && acl_get_perm(permissions, ACL_WRITE) == 1;
}

// The user or group an entry names; one that cannot be read names nobody trusted.
template <typename Id>
Id qualifierOf(acl_entry_t entry)
{
    void* q = acl_get_qualifier(entry);
    if (!q)
        return Id(-1);
    const Id id = *static_cast<Id*>(q);
    acl_free(q);
    return id;
}

// Whether the access list lets anybody write but user, root and the user's private group.
bool aclLetsOthersWrite(acl_t acl, uid_t user, gid_t owningGroup)
{
    const auto each = [acl](const auto& visit) {
        acl_entry_t entry;
        for (int r = acl_get_entry(acl, ACL_FIRST_ENTRY, &entry); r == 1;
             r = acl_get_entry(acl, ACL_NEXT_ENTRY, &entry)) {
            acl_tag_t tag;
            if (acl_get_tag_type(entry, &tag) == 0 && visit(entry, tag))
                return true;
        }
        return false;
    };
    // The mask bounds every entry but the owner's and the others'.
    const bool maskPermits = !each([](acl_entry_t e, acl_tag_t tag) {
        return tag == ACL_MASK && !permitsWriting(e);
    });
    return each([&](acl_entry_t e, acl_tag_t tag) {
        switch (tag) {
        case ACL_OTHER:
            return permitsWriting(e);
        case ACL_USER: {
            const uid_t who = qualifierOf<uid_t>(e);
            return maskPermits && permitsWriting(e) && who != user && who != 0;
        }
        case ACL_GROUP_OBJ:
            return maskPermits && permitsWriting(e) && !isPrivateGroupOf(owningGroup, user);
        case ACL_GROUP:
            return maskPermits && permitsWriting(e)
                && !isPrivateGroupOf(qualifierOf<gid_t>(e), user);
        default:
            return false;
        }
    });
}

// Whether anybody but user and root may write the file whose status is st and whose access
// list is acl (null when there is none to read: the mode alone).
bool othersMayWrite(const struct stat& st, acl_t acl, uid_t user)
{
    if (acl)
        return aclLetsOthersWrite(acl, user, st.st_gid);
    return (st.st_mode & S_IWOTH) || ((st.st_mode & S_IWGRP) && !isPrivateGroupOf(st.st_gid, user));
}

// folder is above home: one of the folders home lies in, as written or with its links followed.
bool isAbove(const QString& folder, const QString& home)
{
    const QString inside = folder == QLatin1String("/") ? folder : folder + QLatin1Char('/');
    for (const QString& h : {home, QFileInfo(home).canonicalFilePath()})
        if (h.size() > inside.size() && h.startsWith(inside))
            return true;
    return false;
}

// Inside a user namespace root's system folders show the unmapped owner; so do other users'
// folders, which is why it is trusted only above the home folder and only where nobody else
// may write.
bool countsAsRoots(const QString& folder, const struct stat& st, const OwnerView& view)
{
    return view.unmapped && st.st_uid == *view.unmapped
        && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0 && isAbove(folder, view.home);
}

// Why folder, one of the folders on the work folder's path, is unsafe; empty when it is not.
QString folderRisk(const QString& shownWorkFolder, const QString& folder, uid_t user,
                   const OwnerView& view)
{
    struct stat st;
    const QByteArray native = QFile::encodeName(folder);
    // A link is judged by where it leads, which the resolved path covers; a folder that is not
    // there yet is the writing check's concern.
    if (::lstat(native.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return QString();
    const QString shown = QDir::toNativeSeparators(folder);
    const Acl acl(acl_get_file(native.constData(), ACL_TYPE_ACCESS), &acl_free);
    if (!(st.st_mode & S_ISVTX) && othersMayWrite(st, acl.get(), user))
        return Messages::kWorkFolderOpenToOthers.arg(shownWorkFolder, shown);
    if (st.st_uid != user && st.st_uid != 0 && !countsAsRoots(folder, st, view))
        return Messages::kWorkFolderOthersOwn.arg(shownWorkFolder, shown);
    return QString();
}

std::optional<uid_t> overflowUid()
{
    QFile f(QStringLiteral("/proc/sys/kernel/overflowuid"));
    bool ok = false;
    const uint id = f.open(QIODevice::ReadOnly) ? f.readAll().trimmed().toUInt(&ok) : 0;
    return ok ? std::optional<uid_t>(id) : std::nullopt;
}

// The first user namespace maps every id to itself.
bool inUserNamespace()
{
    QFile f(QStringLiteral("/proc/self/uid_map"));
    return f.open(QIODevice::ReadOnly) && f.readAll().simplified() != "0 0 4294967295";
}

}  // namespace

OwnerView CurrentOwnerView()
{
    OwnerView view;
    view.home = QDir::cleanPath(QDir::homePath());
    if (inUserNamespace())
        view.unmapped = overflowUid();
    return view;
}

bool IsPrivateGroup(const struct group& group, const struct passwd& user)
{
    if (group.gr_gid != user.pw_gid || !group.gr_name || !user.pw_name
        || std::strcmp(group.gr_name, user.pw_name) != 0)
        return false;
    for (char** member = group.gr_mem; member && *member; ++member)
        if (std::strcmp(*member, user.pw_name) != 0)
            return false;
    return true;
}

QString WorkFolderRisk(const QString& folder, uid_t user, const OwnerView& view)
{
    const QString shown = QDir::toNativeSeparators(folder);
    const QFileInfo info(folder);
    // Both the path as written and where its links lead: a link swapped in any folder along
    // either one changes what is run.
    QStringList folders = foldersOnPath(info.absoluteFilePath());
    const QString resolved = info.canonicalFilePath();
    if (!resolved.isEmpty())
        folders += foldersOnPath(resolved);
    for (const QString& f : std::as_const(folders))
        if (const QString risk = folderRisk(shown, f, user, view); !risk.isEmpty())
            return risk;
    return QString();
}

void CheckWorkFolderWritable(const QString& folder)
{
    const int error = FolderWriteError(folder);
    if (error == 0)
        return;
    const QString shown = QDir::toNativeSeparators(folder);
    if (error == ENOSPC || error == EDQUOT)
        throw AppError(Messages::kWorkFolderFull.arg(shown));
    throw AppError(Messages::kWorkFolderNotWritable.arg(
        shown, QString::fromLocal8Bit(std::strerror(error))));
}

bool IsOwnConverter(const QString& path, const QByteArray& image)
{
    const uid_t user = ::geteuid();
    const auto safe = [&image, user](const struct stat& st, acl_t acl) {
        return S_ISREG(st.st_mode) && st.st_uid == user && (st.st_mode & S_IXUSR)
            && !othersMayWrite(st, acl, user) && st.st_size == image.size();
    };
    struct stat st;
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0 || !safe(st, nullptr))
        return false;
    // Read through a descriptor that cannot follow a link or wait on a pipe, and judge what
    // was actually opened.
    const RegularFile file(path, RegularFile::Links::Refuse);
    if (!file.isOpen())
        return false;
    const struct stat& opened = file.status();
    const Acl acl(acl_get_fd(file.fd()), &acl_free);
    QFile f;
    return safe(opened, acl.get()) && opened.st_ino == st.st_ino && opened.st_dev == st.st_dev
        && f.open(file.fd(), QIODevice::ReadOnly, QFileDevice::DontCloseHandle) && f.readAll() == image;
}

namespace {

// A file system mounted noexec takes the converter and then refuses to start it, file by file.
void checkRunsPrograms(const QString& folder)
{
    struct statvfs fs;
    if (::statvfs(QFile::encodeName(folder).constData(), &fs) == 0 && (fs.f_flag & ST_NOEXEC))
        throw AppError(Messages::kWorkFolderNoExec.arg(QDir::toNativeSeparators(folder)));
}

bool belongsToAnotherUser(const QString& path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 && st.st_uid != ::geteuid();
}

}  // namespace

QString PrepareConverter()
{
    QCoreApplication::processEvents();
    const QString folder = WorkFolder();
    if (const QString risk = WorkFolderRisk(folder, ::geteuid()); !risk.isEmpty())
        throw AppError(risk);
    // Full or read-only, the converter could not be written and every file would fail.
    CheckWorkFolderWritable(folder);
    checkRunsPrograms(folder);
    const QString path = ConverterPath();
    const QByteArray image = ConverterImage();
    if (IsOwnConverter(path, image))
        return path;
    QString why;
    try {
        WriteBytesReplacing(image, path,
                            QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    } catch (const AppError& e) {
        why = e.description();
    }
    if (IsOwnConverter(path, image))
        return path;
    // As in a shared folder with the sticky bit, where another user's file cannot be replaced.
    if (belongsToAnotherUser(path))
        throw AppError(Messages::kConverterOfAnotherUser.arg(QDir::toNativeSeparators(folder),
                                                             QDir::toNativeSeparators(path)));
    throw AppError(Messages::kConverterNotOurs.arg(QDir::toNativeSeparators(path), why).trimmed());
}
