#include "core/model/failure.h"

#include <array>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#else
#include <cerrno>
#endif

using namespace Qt::StringLiterals;

namespace ranupa {

namespace {

struct Signature
{
    FailureCause cause;
    QStringView text; // as libpq, the server or the C library word it (lower case)
};

// Tried in order: a refused password also says "connection to server ... failed", a full disk
// on the server reaches the client as an ordinary error, and a prepared transaction shows as
// another user of the database. The server lock's own words come from its held check.
constexpr std::array signatures = {
    Signature{FailureCause::DiskFull, u"no space left on device"},
    Signature{FailureCause::DiskFull, u"could not extend file"},
    Signature{FailureCause::DiskFull, u"disk full"},
    Signature{FailureCause::FileTooLarge, u"file too large"},
    Signature{FailureCause::PasswordRequired, u"no password supplied"},
    Signature{FailureCause::PasswordRequired, u"password authentication failed"},
    Signature{FailureCause::PreparedTransaction, u"prepared transaction using the database"},
    Signature{FailureCause::PreparedTransaction, u"prepared transactions using the database"},
    Signature{FailureCause::DatabaseInUse, u"is being accessed by other users"},
    Signature{FailureCause::DatabaseLocked, u"canceling statement due to lock timeout"},
    Signature{FailureCause::LockLost, u"kunci server tidak dipegang lagi"},
    Signature{FailureCause::SslRequired, u"server does not support ssl, but ssl was required"},
    Signature{FailureCause::DatabaseMissing, u"database \"pendataan\" does not exist"},
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

QString startFromInstallation()
{
    return u"Jalankan Ranupa Helper dari folder instalasi aplikasi (yang berisi config dan "
           u"pgsql)."_s;
}

} // namespace

QString causeText(FailureCause cause, const QString& port)
{
    switch (cause) {
    case FailureCause::Unknown:
        return u"Program ini tidak mengenali penyebabnya. Salin rinciannya, lalu serahkan kepada "
               u"orang yang mengurus server aplikasi sekolah ini."_s;
    case FailureCause::ServerUnreachable:
        return u"Server database tidak dapat dihubungi pada %1. Pastikan layanan database "
               u"aplikasi sudah berjalan dan port itu benar, lalu coba lagi."_s.arg(
                   portPhrase(port));
    case FailureCause::PasswordRequired:
        return u"Server database meminta kata sandi untuk pengguna postgres, padahal program ini "
               u"masuk tanpa kata sandi. Izinkan postgres masuk dari komputer ini tanpa kata "
               u"sandi (pg_hba.conf), lalu coba lagi."_s;
    case FailureCause::ToolsMissing:
        return u"Program PostgreSQL di pgsql/bin tidak ditemukan. "_s + startFromInstallation();
    case FailureCause::InstallationMissing:
        return u"Folder instalasi aplikasi tidak ditemukan. "_s + startFromInstallation();
    case FailureCause::SettingsMissing:
        return u"File pengaturan config/install.ini atau isian DefDBPort di dalamnya tidak "
               u"ditemukan. "_s +
               startFromInstallation();
    case FailureCause::InvalidPort:
        return u"Isian DefDBPort di config/install.ini bukan nomor port yang sah (1 sampai "
               u"65535). Perbaiki isian itu, lalu coba lagi."_s;
    case FailureCause::DiskFull:
        return u"Disk tempat file backup ditulis sudah penuh. Kosongkan ruang disk atau pilih "
               u"folder di disk lain, lalu coba lagi."_s;
    case FailureCause::ServerDiskFull:
        return u"Disk server database sudah penuh. Kosongkan ruang disk server (selama restore, "
               u"database lama dan baru harus muat bersama), lalu coba lagi."_s;
    case FailureCause::DirectoryNotWritable:
        return u"Folder tujuan tidak ada atau tidak dapat ditulisi. Pilih folder lain atau "
               u"periksa izin aksesnya."_s;
    case FailureCause::BackupNotReadable:
        return u"File backup tidak ditemukan atau tidak dapat dibaca. Periksa file itu, atau "
               u"pilih file backup lain."_s;
    case FailureCause::DamagedBackup:
        return u"File ini rusak, tidak lengkap, atau bukan file backup. Pilih file backup lain."_s;
    case FailureCause::ForeignBackup:
        return u"File ini bukan backup database pendataan. Pilih file backup dari aplikasi ini."_s;
    case FailureCause::MissingRole:
        return u"Server database belum memiliki pengguna (role) yang dibutuhkan file backup ini. "
               u"Rincian menyebut nama role dan cara membuatnya."_s;
    case FailureCause::DatabaseInUse:
        return u"Database pendataan terus dipakai oleh aplikasi lain. Tutup aplikasi yang "
               u"memakainya, lalu coba lagi."_s;
    case FailureCause::DatabaseMissing:
        return u"Database pendataan tidak ada di server. Restore dari file backup terakhir untuk "
               u"membuatnya kembali."_s;
    case FailureCause::ReservedName:
        return u"Di server ada database dengan nama yang dipakai program ini, tetapi bukan buatan "
               u"program ini. Rincian menyebut namanya: ganti nama database itu, lalu coba lagi."_s;
    case FailureCause::UnsafeBackup:
        return u"File backup berisi perintah yang tidak dijalankan oleh restore. Pakai hanya "
               u"backup buatan program ini dari data sekolah sendiri."_s;
    case FailureCause::UnrestorableBackup:
        return u"Backup yang baru ditulis tidak akan dapat di-restore oleh program ini, jadi file "
               u"itu tidak disimpan. Rincian mengutip penyebabnya di database pendataan; serahkan "
               u"rincian itu kepada orang yang mengurus server aplikasi sekolah ini."_s;
    case FailureCause::BackupChanged:
        return u"File backup berubah selama restore. Pastikan tidak ada program lain yang menulis "
               u"file itu, lalu coba lagi."_s;
    case FailureCause::DatabaseLocked:
        return u"Sesi lain di server database menahan kunci pada database pendataan terlalu lama, "
               u"jadi database itu tidak diganti. Rincian menyebut sesi itu: selesaikan atau "
               u"akhiri sesi itu, lalu coba lagi."_s;
    case FailureCause::ReplicationInUse:
        return u"Database pendataan memakai replikasi logis (subscription atau slot replikasi), "
               u"yang tidak dapat ikut diganti oleh restore. Administrator server harus "
               u"menghapusnya lebih dahulu; rincian menyebut namanya."_s;
    case FailureCause::PreparedTransaction:
        return u"Di database pendataan ada transaksi yang disiapkan (prepared transaction) dan "
               u"belum diselesaikan, sehingga database itu tidak dapat diganti. Administrator "
               u"server harus menyelesaikannya lebih dahulu; rincian menyebut namanya."_s;
    case FailureCause::LockLost:
        return u"Sesi server milik program ini diakhiri oleh pihak lain, jadi pekerjaan "
               u"dihentikan agar tidak bertabrakan dengan backup atau restore lain. Coba lagi; "
               u"bila terulang, tanyakan kepada orang yang mengurus server siapa yang "
               u"mengakhirinya."_s;
    case FailureCause::SslRequired:
        return u"Komputer ini diatur untuk hanya memakai koneksi SSL (PGSSLMODE), tetapi server "
               u"database tidak mendukung SSL. Hapus variabel lingkungan PGSSLMODE atau ubah "
               u"menjadi prefer, lalu coba lagi."_s;
    case FailureCause::TempFolderUnusable:
        return u"Folder sementara komputer ini (TEMP atau TMPDIR) tidak ada atau tidak dapat "
               u"ditulisi. Rincian menyebut folder itu: buat folder itu atau perbaiki izinnya, "
               u"lalu coba lagi."_s;
    case FailureCause::NotEnoughRoom:
        return u"Ruang kosong di disk folder tujuan tidak cukup untuk file backup. Kosongkan ruang "
               u"disk atau pilih folder di disk lain, lalu coba lagi."_s;
    case FailureCause::FileTooLarge:
        return u"File backup lebih besar daripada yang dapat disimpan sistem file disk tujuan "
               u"(FAT32 hanya menampung file sampai 4 GB). Pilih folder di disk NTFS atau exFAT, "
               u"lalu coba lagi."_s;
    case FailureCause::Busy:
        return u"Backup atau restore lain sedang berjalan di server database ini. Tunggu sampai "
               u"selesai, lalu coba lagi."_s;
    }
    return {};
}

QString pendataanUnchangedText()
{
    return u"Database pendataan tidak diubah."_s;
}

QString failureSummary(FailureCause cause, const QString& port, bool pendataanUnchanged)
{
    const QString text = causeText(cause, port);
    return pendataanUnchanged ? text + u'\n' + pendataanUnchangedText() : text;
}

QString failedStepText(const Failure& failure, const QString& after)
{
    QString text =
        failure.step.isEmpty() ? QString() : u"Langkah yang gagal: %1."_s.arg(failure.step);
    text = (text + u' ' + after).trimmed();
    return (text + u'\n' + failure.details).trimmed();
}

Failure fileFailure(const QString& step, int systemError, const QString& text)
{
#ifdef Q_OS_WIN
    const bool full = systemError == ERROR_DISK_FULL || systemError == ERROR_HANDLE_DISK_FULL;
    const bool tooLarge = systemError == ERROR_FILE_TOO_LARGE;
#else
    const bool full = systemError == ENOSPC || systemError == EDQUOT;
    const bool tooLarge = systemError == EFBIG;
#endif
    return {.step = step,
            .details = text,
            .cause = full       ? FailureCause::DiskFull
                     : tooLarge ? FailureCause::FileTooLarge
                                : FailureCause::DirectoryNotWritable};
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

} // namespace ranupa
