#pragma once
// Every text the command line writes, byte for byte, in one place. Not `inline`:
// the dialog has wide texts of the same names, and the two must never be merged.

// The lines both programs' help share, joined into each text below.
#define QUILLMAR_HELP_TITLE \
    "Quillmar工具 v2.0 (GUI版) - 本地批量压缩 JPG / PNG\n" \
    "不缩放分辨率, 不覆盖原图\n" \
    "\n"

#define QUILLMAR_HELP_INPUTS_AND_OPTIONS \
    "  输入路径: 一个或多个图片文件或文件夹;\n" \
    "            文件夹会自动收集其中所有 .jpg / .jpeg / .png 图片\n" \
    "\n" \
    "选项:\n" \
    "  -q, --quality <0~100>  压缩质量, 默认 80。\n" \
    "  -o, --out <目录>       输出文件夹, 默认 ./compressed, 自动创建。\n" \
    "  -r, --recursive        递归遍历输入文件夹的子目录。\n" \
    "  -h, --help             显示本帮助。\n" \
    "\n" \
    "说明:\n" \
    "  * 输出文件与源文件同名; 若输出目录中已有同名文件, 自动追加\n" \
    "    _1 / _2 ... 后缀, 绝不会覆盖任何已有文件(包括原始图片)。\n" \
    "  * 退出码: 0 = 全部成功, 1 = 存在失败项, 2 = 参数或路径错误。\n"

// The help of Quillmar.exe. Each platform's HelpText() gives its program's own.
constexpr char kHelpText[] =
    QUILLMAR_HELP_TITLE
    "直接双击程序: 打开图形界面(GUI), 可设置质量/输出目录/递归选项\n"
    "把图片或文件夹拖到程序图标上: 直接批量压缩(默认质量 80)\n"
    "\n"
    "命令行用法:\n"
    "  Quillmar.exe <输入路径...> [选项]\n"
    "\n"
    QUILLMAR_HELP_INPUTS_AND_OPTIONS;

// The help of the Linux program: its own name, and nothing of what only the
// Windows program offers (the dialog, drops on its icon).
constexpr char kHelpTextLinux[] =
    QUILLMAR_HELP_TITLE
    "命令行用法:\n"
    "  quillmar <输入路径...> [选项]\n"
    "\n"
    QUILLMAR_HELP_INPUTS_AND_OPTIONS;

constexpr char kDefaultOutputFolder[] = "./compressed";

constexpr char kErrMissingQuality[] = "错误: -q 缺少质量参数\n";
constexpr char kErrMissingOutput[] = "错误: -o 缺少输出目录参数\n";
constexpr char kErrUnknownOption[] = "错误: 未知选项: ";
constexpr char kErrQualityRange[] = "错误: 质量参数必须在 0~100 之间(当前: ";
constexpr char kErrQualityRangeEnd[] = ")\n";
constexpr char kErrNoSuchPath[] = "错误: 路径不存在: ";
// A folder whose listing broke off (a share that dropped) may hold more images
// than the run found: said, not taken for complete. The run goes on.
constexpr char kWarnUnfinishedFolder[] = "警告: 文件夹未能完整列出, 其中的图片可能不全: ";
constexpr char kErrNoImages[] = "错误: 没有找到可处理的 JPG / PNG 图片\n";
constexpr char kErrOutputFolder[] = "错误: 无法创建输出目录: ";

constexpr char kRule[] = "========================================\n";
constexpr char kHeaderImages[] = "输入图片: ";
constexpr char kHeaderImagesUnit[] = " 张\n";
constexpr char kHeaderOutput[] = "输出目录: ";
constexpr char kHeaderQuality[] = "质量参数: ";

constexpr char kLineSuccess[] = "] 成功  ";
constexpr char kLineFailure[] = "] 失败  ";
constexpr char kSaved[] = "节省";
constexpr char kGrew[] = "增大";

constexpr char kSummaryCount[] = "处理完成: 共 ";
constexpr char kSummarySucceeded[] = " 张 | 成功 ";
constexpr char kSummaryFailed[] = " | 失败 ";
constexpr char kSummarySkipped[] = " | 跳过 0\n";
constexpr char kSummaryInput[] = "输入总大小 ";
constexpr char kSummaryOutput[] = " -> 输出总大小 ";
constexpr char kSummarySaved[] = "  (节省 ";
constexpr char kSummaryEnd[] = "%)\n";

constexpr char kClosingPrompt[] = "\n按任意键退出...";
