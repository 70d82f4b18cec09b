#pragma once
// Every text the dialog shows, in one place, and the helpers that make its lines.
// Not `inline`: the command line has narrow texts of the same names, and the two
// must never be merged.
#include <cstdarg>
#include <cstddef>
#include <string>

constexpr wchar_t kOutputSubfolder[] = L"Quillmar输出";
constexpr wchar_t kFallbackSubfolder[] = L"compressed";
constexpr wchar_t kDefaultBatchFolder[] = L".\\compressed";

constexpr wchar_t kColumnName[] = L"文件名";
constexpr wchar_t kColumnPath[] = L"路径";
constexpr wchar_t kColumnStatus[] = L"状态";

constexpr wchar_t kQualityFormat[] = L"%d";
constexpr wchar_t kInitialQuality[] = L"80";
constexpr wchar_t kStatusReady[] = L"状态: 就绪";
constexpr wchar_t kStatusCount[] = L"共 %zu 张图片";
constexpr wchar_t kStatusRunning[] = L"状态: 压缩中...";
constexpr wchar_t kStatusDone[] = L"状态: 处理完成 - 共 %d 张, 成功 %d, 失败 %d";

constexpr wchar_t kRowPending[] = L"待处理";
constexpr wchar_t kShutdownBlockReason[] = L"正在压缩图片，请等待完成";
constexpr wchar_t kRowRunning[] = L"处理中";
constexpr wchar_t kRowSucceeded[] = L"成功";
constexpr wchar_t kRowFailed[] = L"失败";

constexpr wchar_t kFilterImagesName[] = L"图片文件";
constexpr wchar_t kFilterImagesSpec[] = L"*.jpg;*.jpeg;*.png";
constexpr wchar_t kFilterAllName[] = L"所有文件";
constexpr wchar_t kFilterAllSpec[] = L"*.*";
constexpr wchar_t kPickFilesTitle[] = L"选择要压缩的图片";
constexpr wchar_t kPickFolderTitle[] = L"选择包含图片的文件夹";
constexpr wchar_t kPickOutputTitle[] = L"选择输出文件夹";
constexpr wchar_t kNoImagesInFolder[] = L"该文件夹中没有找到 JPG / PNG 图片。";

constexpr wchar_t kCaptionInfo[] = L"提示";
constexpr wchar_t kCaptionError[] = L"错误";
constexpr wchar_t kBusyExit[] = L"正在压缩, 请等待完成后再退出。";
constexpr wchar_t kCannotCreateOutput[] = L"无法创建输出目录: ";
constexpr wchar_t kCannotStartBatch[] = L"无法启动压缩线程, 请重试。";

constexpr wchar_t kLogStart[] = L"开始压缩: %zu 张图片, 质量 %d, 输出目录: %ls";
constexpr wchar_t kLogFailure[] = L"[%d] 失败 %ls (%ls)";
constexpr wchar_t kLogDone[] = L"====== 处理完成: 共 %d 张, 成功 %d, 失败 %d ======";
constexpr wchar_t kSaved[] = L"节省";
constexpr wchar_t kGrew[] = L"增大";

constexpr wchar_t kEstimateNone[] = L"预计: --";
constexpr wchar_t kEstimateSelect[] = L"预计: 请先选择图片";
constexpr wchar_t kEstimateRunning[] = L"预计: 计算中...";
constexpr wchar_t kEstimateSize[] = L"预计: %ls";
constexpr wchar_t kEstimateFailed[] = L"预计: 无法预览";

/// One file's log line after a successful compression, built from typed parts:
/// "[n] 成功 name (WxH channels) in -> out, 节省|增大 percent%  -> outputPath".
std::wstring LogSuccessLine(int number, const std::wstring& name, int width, int height,
                            const wchar_t* channels, const std::wstring& inputSize,
                            const std::wstring& outputSize, bool saved,
                            const std::wstring& percent, const std::wstring& outputPath);

/// Text of a control of the dialog.
std::wstring ControlText(int id, size_t capacity);

/// printf-style wide text (%ls for wide strings) cut to capacity - 1 characters,
/// like a fixed buffer.
std::wstring FormatText(size_t capacity, const wchar_t* format, ...);
std::wstring FormatTextV(size_t capacity, const wchar_t* format, va_list args);

/// UTF-8 text as UTF-16.
std::wstring Widen(const std::string& utf8);

/// The last component of a path: after the last "\" or "/" behind its root.
std::wstring FileNamePart(const std::wstring& path);
