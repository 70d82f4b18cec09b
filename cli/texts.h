#pragma once
// Every text the command line writes, byte for byte, in one place.

inline constexpr char kHelpText[] =
    "Quillmar工具 v2.0 (GUI版) - 本地批量压缩 JPG / PNG\n"
    "不缩放分辨率, 不覆盖原图\n"
    "\n"
    "直接双击程序: 打开图形界面(GUI), 可设置质量/输出目录/递归选项\n"
    "把图片或文件夹拖到程序图标上: 直接批量压缩(默认质量 80)\n"
    "\n"
    "命令行用法:\n"
    "  Quillmar.exe <输入路径...> [选项]\n"
    "\n"
    "  输入路径: 一个或多个图片文件或文件夹;\n"
    "            文件夹会自动收集其中所有 .jpg / .jpeg / .png 图片\n"
    "\n"
    "选项:\n"
    "  -q, --quality <0~100>  压缩质量, 默认 80。\n"
    "  -o, --out <目录>       输出文件夹, 默认 ./compressed, 自动创建。\n"
    "  -r, --recursive        递归遍历输入文件夹的子目录。\n"
    "  -h, --help             显示本帮助。\n"
    "\n"
    "说明:\n"
    "  * 输出文件与源文件同名; 若输出目录中已有同名文件, 自动追加\n"
    "    _1 / _2 ... 后缀, 绝不会覆盖任何已有文件(包括原始图片)。\n"
    "  * 退出码: 0 = 全部成功, 1 = 存在失败项, 2 = 参数或路径错误。\n";

inline constexpr char kDefaultOutputFolder[] = "./compressed";

inline constexpr char kErrMissingQuality[] = "错误: -q 缺少质量参数\n";
inline constexpr char kErrMissingOutput[] = "错误: -o 缺少输出目录参数\n";
inline constexpr char kErrUnknownOption[] = "错误: 未知选项: ";
inline constexpr char kErrQualityRange[] = "错误: 质量参数必须在 0~100 之间(当前: ";
inline constexpr char kErrQualityRangeEnd[] = ")\n";
inline constexpr char kErrNoSuchPath[] = "错误: 路径不存在: ";
inline constexpr char kErrNoImages[] = "错误: 没有找到可处理的 JPG / PNG 图片\n";
inline constexpr char kErrOutputFolder[] = "错误: 无法创建输出目录: ";

inline constexpr char kRule[] = "========================================\n";
inline constexpr char kHeaderImages[] = "输入图片: ";
inline constexpr char kHeaderImagesUnit[] = " 张\n";
inline constexpr char kHeaderOutput[] = "输出目录: ";
inline constexpr char kHeaderQuality[] = "质量参数: ";

inline constexpr char kLineSuccess[] = "] 成功  ";
inline constexpr char kLineFailure[] = "] 失败  ";
inline constexpr char kSaved[] = "节省";
inline constexpr char kGrew[] = "增大";

inline constexpr char kSummaryCount[] = "处理完成: 共 ";
inline constexpr char kSummarySucceeded[] = " 张 | 成功 ";
inline constexpr char kSummaryFailed[] = " | 失败 ";
inline constexpr char kSummarySkipped[] = " | 跳过 0\n";
inline constexpr char kSummaryInput[] = "输入总大小 ";
inline constexpr char kSummaryOutput[] = " -> 输出总大小 ";
inline constexpr char kSummarySaved[] = "  (节省 ";
inline constexpr char kSummaryEnd[] = "%)\n";

inline constexpr char kClosingPrompt[] = "\n按任意键退出...";
