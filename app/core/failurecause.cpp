#include "core/failurecause.h"

#include "core/toolrunner.h"

#include <array>

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

struct Signature
{
    FailureCause cause;
    QStringView text; // as libpq, the server or the C library word it (lower case)
};

// Tried in order: a refused password also says "connection to server ... failed", and a full disk
// on the server reaches the client as an ordinary error.
constexpr std::array signatures = {
    Signature{FailureCause::DiskFull, u"no space left on device"},
    Signature{FailureCause::DiskFull, u"could not extend file"},
    Signature{FailureCause::DiskFull, u"disk full"},
    Signature{FailureCause::PasswordRequired, u"no password supplied"},
    Signature{FailureCause::PasswordRequired, u"password authentication failed"},
    Signature{FailureCause::ServerUnreachable, u"connection refused"},
    Signature{FailureCause::ServerUnreachable, u"is the server running"},
    Signature{FailureCause::ServerUnreachable, u"could not connect to server"},
    Signature{FailureCause::ServerUnreachable, u"server closed the connection unexpectedly"},
    Signature{FailureCause::ServerUnreachable, u"the database system is shutting down"},
    Signature{FailureCause::ServerUnreachable, u"the database system is starting up"},
    Signature{FailureCause::ServerUnreachable, u"terminating connection due to administrator"},
    Signature{FailureCause::ServerUnreachable, u"timeout expired"},
};

QString portPhrase(const QString& port)
{
    return port.isEmpty() ? u"port dari config/install.ini"_s
                          : u"port %1 (DefDBPort di config/install.ini)"_s.arg(port);
}

} // namespace

QString causeText(FailureCause cause, const QString& port)
{
    switch (cause) {
    case FailureCause::Unknown:
        return {};
    case FailureCause::ServerUnreachable:
        return u"Server database tidak dapat dihubungi pada %1. Pastikan layanan database "
               u"aplikasi sudah berjalan dan port itu benar, lalu coba lagi."_s.arg(
                   portPhrase(port));
    case FailureCause::PasswordRequired:
        return u"Server database meminta kata sandi untuk pengguna postgres. Program ini hanya "
               u"bekerja bila server mengizinkan postgres masuk dari komputer ini tanpa kata "
               u"sandi."_s;
    case FailureCause::ToolsMissing:
        return u"Program PostgreSQL di pgsql/bin tidak ditemukan. Jalankan Ranupa Helper dari "
               u"direktori instalasi aplikasi (yang berisi config dan pgsql)."_s;
    case FailureCause::InstallationMissing:
        return u"Direktori instalasi aplikasi tidak ditemukan. Jalankan Ranupa Helper dari "
               u"direktori instalasi aplikasi (yang berisi config dan pgsql)."_s;
    case FailureCause::SettingsMissing:
        return u"File pengaturan config/install.ini atau isian DefDBPort di dalamnya tidak "
               u"ditemukan. Jalankan Ranupa Helper dari direktori instalasi aplikasi."_s;
    case FailureCause::InvalidPort:
        return u"Isian DefDBPort di config/install.ini bukan nomor port yang sah (1 sampai "
               u"65535). Perbaiki isian itu, lalu coba lagi."_s;
    case FailureCause::DiskFull:
        return u"Disk penuh. Kosongkan ruang disk (atau pilih direktori di disk lain), lalu coba "
               u"lagi."_s;
    case FailureCause::DirectoryNotWritable:
        return u"Direktori tujuan tidak dapat ditulisi. Pilih direktori lain atau periksa izin "
               u"aksesnya."_s;
    case FailureCause::DamagedBackup:
        return u"File backup rusak atau tidak lengkap. Pilih file backup lain."_s;
    case FailureCause::ForeignBackup:
        return u"File ini bukan backup database pendataan. Pilih file backup dari aplikasi ini."_s;
    case FailureCause::MissingRole:
        return u"Server database belum memiliki pengguna (role) yang dibutuhkan file backup ini. "
               u"Rincian menyebut nama role dan cara membuatnya."_s;
    case FailureCause::Busy:
        return u"Backup atau restore lain sedang berjalan. Tunggu sampai selesai, lalu coba lagi."_s;
    }
    return {};
}

FailureCause causeFromToolText(const QString& text)
{
    const QString lower = text.toLower();
    for (const Signature& signature : signatures) {
        if (lower.contains(signature.text)) {
            return signature.cause;
        }
    }
    return FailureCause::Unknown;
}

FailureCause causeFromToolResult(const ToolResult& result)
{
    if (!result.started) {
        return FailureCause::ToolsMissing;
    }
    return causeFromToolText(result.output());
}

} // namespace ranupa
