#include "core/model/outcome.h"

#include "core/model/wording.h"

#include <QDir>
#include <algorithm>
#include <array>

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

// What the operator reads for each cause: what went wrong and what to do. In the order of
// FailureCause, which indexes it.
struct CauseText
{
    FailureCause cause;
    QStringView text;                   // %1: where the server was looked for (ServerUnreachable)
    bool startFromInstallation = false; // what to do is to start the program where it belongs
};

constexpr auto causeTexts = std::to_array<CauseText>({
    {FailureCause::Unknown, u"Program ini tidak mengenali penyebabnya. Salin rinciannya, lalu "
                            u"serahkan kepada orang yang mengurus server aplikasi sekolah ini."},
    {FailureCause::ServerUnreachable,
     u"Server database tidak dapat dihubungi pada %1. Pastikan layanan database aplikasi sudah "
     u"berjalan dan port itu benar, lalu coba lagi."},
    {FailureCause::PasswordRequired,
     u"Server database meminta kata sandi untuk pengguna postgres, padahal program ini masuk tanpa "
     u"kata sandi. Izinkan postgres masuk dari komputer ini tanpa kata sandi (pg_hba.conf), lalu "
     u"coba lagi."},
    {FailureCause::ToolsMissing, u"Program PostgreSQL di pgsql/bin tidak ditemukan.", true},
    {FailureCause::InstallationMissing, u"Folder instalasi aplikasi tidak ditemukan.", true},
    {FailureCause::SettingsMissing,
     u"File pengaturan config/install.ini atau isian DefDBPort di dalamnya tidak ditemukan.", true},
    {FailureCause::InvalidPort, u"Isian DefDBPort di config/install.ini bukan nomor port yang sah "
                                u"(1 sampai 65535). Perbaiki isian itu, lalu coba lagi."},
    {FailureCause::DiskFull, u"Disk tempat file backup ditulis sudah penuh. Kosongkan ruang disk "
                             u"atau pilih folder di disk lain, lalu coba lagi."},
    {FailureCause::ServerDiskFull,
     u"Disk server database sudah penuh. Kosongkan ruang disk server (selama restore, database "
     u"lama dan baru harus muat bersama), lalu coba lagi."},
    {FailureCause::DirectoryNotWritable, u"Folder tujuan tidak ada atau tidak dapat ditulisi. "
                                         u"Pilih folder lain atau periksa izin aksesnya."},
    {FailureCause::BackupNotReadable, u"File backup tidak ditemukan atau tidak dapat dibaca. "
                                      u"Periksa file itu, atau pilih file backup lain."},
    {FailureCause::DamagedBackup,
     u"File ini rusak, tidak lengkap, atau bukan file backup. Pilih file backup lain."},
    {FailureCause::ForeignBackup,
     u"File ini bukan backup database pendataan. Pilih file backup dari aplikasi ini."},
    {FailureCause::MissingRole,
     u"Server database belum memiliki pengguna (role) yang dibutuhkan file backup ini. Rincian "
     u"menyebut nama role dan cara membuatnya."},
    {FailureCause::DatabaseInUse, u"Database pendataan terus dipakai oleh aplikasi lain. Tutup "
                                  u"aplikasi yang memakainya, lalu coba lagi."},
    {FailureCause::DatabaseMissing, u"Database pendataan tidak ada di server. Restore dari file "
                                    u"backup terakhir untuk membuatnya kembali."},
    {FailureCause::ReservedName,
     u"Di server ada database dengan nama yang dipakai program ini, tetapi bukan buatan program "
     u"ini. Rincian menyebut namanya: ganti nama database itu, lalu coba lagi."},
    {FailureCause::UnsafeBackup,
     u"File backup berisi perintah yang tidak dijalankan oleh restore. Pakai hanya backup buatan "
     u"program ini dari data sekolah sendiri."},
    {FailureCause::UnrestorableBackup,
     u"Backup yang baru ditulis tidak akan dapat di-restore oleh program ini, jadi file itu tidak "
     u"disimpan. Rincian mengutip penyebabnya di database pendataan; serahkan rincian itu kepada "
     u"orang yang mengurus server aplikasi sekolah ini."},
    {FailureCause::BackupChanged, u"File backup berubah selama restore. Pastikan tidak ada program "
                                  u"lain yang menulis file itu, lalu coba lagi."},
    {FailureCause::DatabaseLocked,
     u"Sesi lain di server database menahan kunci pada database pendataan terlalu lama, jadi "
     u"database itu tidak diganti. Rincian menyebut sesi itu: selesaikan atau akhiri sesi itu, "
     u"lalu coba lagi."},
    {FailureCause::ReplicationInUse,
     u"Database pendataan memakai replikasi logis (subscription atau slot replikasi), yang tidak "
     u"dapat ikut diganti oleh restore. Administrator server harus menghapusnya lebih dahulu; "
     u"rincian menyebut namanya."},
    {FailureCause::PreparedTransaction,
     u"Di database pendataan ada transaksi yang disiapkan (prepared transaction) dan belum "
     u"diselesaikan, sehingga database itu tidak dapat diganti. Administrator server harus "
     u"menyelesaikannya lebih dahulu; rincian menyebut namanya."},
    {FailureCause::LockLost,
     u"Sesi server milik program ini diakhiri oleh pihak lain, jadi pekerjaan dihentikan agar "
     u"tidak bertabrakan dengan backup atau restore lain. Coba lagi; bila terulang, tanyakan "
     u"kepada orang yang mengurus server siapa yang mengakhirinya."},
    {FailureCause::SslRequired, u"Komputer ini diatur untuk hanya memakai koneksi SSL (PGSSLMODE), "
                                u"tetapi server database tidak mendukung SSL. Hapus variabel "
                                u"lingkungan PGSSLMODE atau ubah menjadi prefer, lalu coba lagi."},
    {FailureCause::TempFolderUnusable,
     u"Folder sementara komputer ini (TEMP atau TMPDIR) tidak ada atau tidak dapat ditulisi. "
     u"Rincian menyebut folder itu: buat folder itu atau perbaiki izinnya, lalu coba lagi."},
    {FailureCause::NotEnoughRoom,
     u"Ruang kosong di disk folder tujuan tidak cukup untuk file backup. Kosongkan ruang disk atau "
     u"pilih folder di disk lain, lalu coba lagi."},
    {FailureCause::FileTooLarge,
     u"File backup lebih besar daripada yang dapat disimpan sistem file disk tujuan (FAT32 hanya "
     u"menampung file sampai 4 GB). Pilih folder di disk NTFS atau exFAT, lalu coba lagi."},
    {FailureCause::Busy, u"Backup atau restore lain sedang berjalan di server database ini. Tunggu "
                         u"sampai selesai, lalu coba lagi."},
});

// Row i is FailureCause(i): as many rows as causes, each cause after the one before.
static_assert(causeTexts.size() == std::size_t(FailureCause::Busy) + 1 &&
              causeTexts.back().cause == FailureCause::Busy &&
              std::ranges::adjacent_find(causeTexts, std::greater_equal{}, &CauseText::cause) ==
                  causeTexts.end());

QString pendataanUnchangedText()
{
    return u"Database pendataan tidak diubah."_s;
}

} // namespace

QString causeText(FailureCause cause, const QString& port)
{
    if (std::size_t(cause) >= causeTexts.size()) {
        return {};
    }
    const CauseText& row = causeTexts[std::size_t(cause)];
    QString text = row.text.toString();
    if (cause == FailureCause::ServerUnreachable) {
        text = text.arg(port.isEmpty() ? u"port dari config/install.ini"_s
                                       : u"port %1 (DefDBPort di config/install.ini)"_s.arg(port));
    }
    if (row.startFromInstallation) {
        text += u" Jalankan Ranupa Helper dari folder instalasi aplikasi (yang berisi config dan "
                u"pgsql)."_s;
    }
    return text;
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

FailureCause causeFromToolText(const QString& text)
{
    const QString lower = text.toLower();
    const auto found = std::ranges::find_if(signatures, [&lower](const Signature& signature) {
        return lower.contains(signature.text);
    });
    return found == signatures.end() ? FailureCause::Unknown : found->cause;
}

OperationOutcome failedOutcome(OperationKind kind, const Failure& failure, const QString& port,
                               const QString& notes)
{
    OperationOutcome outcome;
    outcome.status = failure.cancelled ? OperationStatus::Cancelled : OperationStatus::Failed;
    // In the order of OperationKind: failed, cancelled.
    constexpr QStringView messages[][2] = {
        {u"Gagal melakukan backup", u"Backup dibatalkan"},
        {u"Gagal melakukan restore", u"Restore dibatalkan"},
        {u"Backup tidak dapat di-restore", u"Uji restore dibatalkan"},
    };
    outcome.message = messages[int(kind)][failure.cancelled ? 1 : 0].toString();
    outcome.cause = failure.cause;
    outcome.pendataanUnchanged = failure.pendataanUnchanged;
    // A cancel has no cause to explain, only whether pendataan is unchanged.
    const QString unchanged = failure.pendataanUnchanged ? pendataanUnchangedText() : QString();
    if (failure.cancelled) {
        outcome.summary = unchanged;
    } else if (!failure.said.isEmpty()) {
        outcome.summary = (failure.said + u'\n' + unchanged).trimmed();
    } else {
        outcome.summary = failureSummary(failure.cause, port, failure.pendataanUnchanged);
    }
    // What was set right before comes first: the operator must learn of it whatever followed.
    QStringList details{notes, failedStepText(failure, unchanged)};
    details.removeAll(QString());
    outcome.details = details.join(u"\n\n"_s);
    return outcome;
}

QString describeRun(const RunRecord& record)
{
    constexpr QStringView kinds[] = {u"backup", u"restore", u"uji restore"};
    constexpr QStringView origins[] = {u"dari jendela", u"dari baris perintah", u"terjadwal"};
    const QString succeeded = record.kind != OperationKind::Backup ? u"berhasil"_s
                              : record.tried                       ? u"berhasil, sudah diuji"_s
                                                                   : u"berhasil, belum diuji"_s;
    return QStringList{wording::dateTime(record.started),
                       u"%1 %2"_s.arg(kinds[int(record.kind)], origins[int(record.origin)]),
                       record.result == RunResult::Failed      ? u"gagal: "_s + record.cause
                       : record.result == RunResult::Cancelled ? u"dibatalkan"_s
                                                               : succeeded,
                       record.fileSize < 0 ? u"-"_s : wording::size(record.fileSize),
                       wording::duration(record.durationMs),
                       record.filePath.isEmpty() ? u"-"_s
                                                 : QDir::toNativeSeparators(record.filePath)}
        .join(u" | "_s);
}

} // namespace ranupa
