#include "shared/outcomes.h"

#include <iterator>

namespace outcomes {

namespace {

const Row kRows[] = {
    {Outcome::Installed, "安装已成功完成", "ok", Shown::Success},
    {Outcome::NoProgram, "程序文件不存在，无法更新", "no-program", Shown::Retry},
    {Outcome::DiskSpace, "磁盘空间不足，无法完成更新", "disk-space", Shown::Retry},
    {Outcome::SaveFailed, "无法保存临时下载文件", "save", Shown::Retry},
    {Outcome::DownloadFailed, "下载失败: ", "download", Shown::Retry},
    {Outcome::Integrity, "文件完整性校验失败", "integrity", Shown::Retry},
    {Outcome::ProcessesRunning, "无法关闭正在运行的程序，请手动关闭后重试，已恢复原版本", "processes-running",
        Shown::Restored},
    // Nothing was changed yet: the old version is in place.
    {Outcome::BackupFailed, "创建备份失败，停止更新", "backup", Shown::Restored},
    {Outcome::Restored, "安装文件失败，已恢复原版本", "restored", Shown::Restored},
    {Outcome::Critical, "安装失败且无法恢复，需要重新安装", "critical", Shown::Critical},
};
static_assert(std::size(kRows) == size_t(Outcome::Critical) + 1, "a row for every outcome");

} // namespace

const Row &row(Outcome outcome)
{
    for (const Row &r : kRows)
        if (r.outcome == outcome)
            return r;
    return kRows[std::size(kRows) - 1]; // unreachable: every outcome has its row
}

QString message(Outcome outcome, const QString &detail)
{
    return QString::fromUtf8(row(outcome).message) + detail;
}

} // namespace outcomes
