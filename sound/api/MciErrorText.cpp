#include "sound/MciErrorText.h"

#include "sound/MciErrors.h"

namespace qb::mci {
namespace {

const char* ownText(MCIERROR code)
{
    switch (code) {
    case MCIERR_INVALID_DEVICE_ID:
        return "デバイス ID が正しくありません。";
    case MCIERR_UNRECOGNIZED_KEYWORD:
        return "コマンドに使えないキーワードがあります。";
    case MCIERR_UNRECOGNIZED_COMMAND:
        return "このコマンドは使えません。";
    case MCIERR_HARDWARE:
        return "サウンド デバイスに問題があります。";
    case MCIERR_INVALID_DEVICE_NAME:
        return "指定されたデバイスは開かれていません。";
    case MCIERR_OUT_OF_MEMORY:
        return "メモリが足りません。";
    case MCIERR_DEVICE_OPEN:
        return "このファイルはすでに開かれています。";
    case MCIERR_CANNOT_LOAD_DRIVER:
        return "デバイスを準備できません。音源 (サウンドフォント) を確認してください。";
    case MCIERR_MISSING_COMMAND_STRING:
        return "コマンドが空です。";
    case MCIERR_PARAM_OVERFLOW:
        return "結果を受け取る領域が小さすぎます。";
    case MCIERR_MISSING_STRING_ARGUMENT:
        return "キーワードに続く文字列がありません。";
    case MCIERR_BAD_INTEGER:
        return "数値の指定が正しくありません。";
    case MCIERR_MISSING_PARAMETER:
        return "コマンドに必要な指定が足りません。";
    case MCIERR_UNSUPPORTED_FUNCTION:
        return "このデバイスはその操作に対応していません。";
    case MCIERR_FILE_NOT_FOUND:
        return "指定されたファイルが見つかりません。";
    case MCIERR_DEVICE_NOT_READY:
        return "デバイスの準備ができていません。";
    case MCIERR_INTERNAL:
        return "内部エラーが発生しました。";
    case MCIERR_CANNOT_USE_ALL:
        return "このコマンドでは \"all\" を使えません。";
    case MCIERR_EXTENSION_NOT_FOUND:
        return "ファイルの拡張子から再生するデバイスを決められません。";
    case MCIERR_OUTOFRANGE:
        return "指定された位置がファイルの範囲外です。";
    case MCIERR_FLAGS_NOT_COMPATIBLE:
        return "同時に指定できないキーワードがあります。";
    case MCIERR_DUPLICATE_ALIAS:
        return "この別名はすでに使われています。";
    case MCIERR_MISSING_DEVICE_NAME:
        return "デバイス名がありません。";
    case MCIERR_NO_CLOSING_QUOTE:
        return "引用符 (\") が閉じられていません。";
    case MCIERR_DUPLICATE_FLAGS:
        return "同じキーワードが二度指定されています。";
    case MCIERR_INVALID_FILE:
        return "ファイルの形式が正しくないか、ファイルが壊れています。";
    case MCIERR_EXTRA_CHARACTERS:
        return "引用符で囲んだ文字列の後に余分な文字があります。";
    case MCIERR_DEVICE_NOT_INSTALLED:
        return "指定された種類のデバイスはこのコンピューターにありません。";
    case MCIERR_FILE_READ:
        return "ファイルを読み込めません。";
    default:
        return nullptr;
    }
}

} // namespace

bool hasMciErrorText(MCIERROR code)
{
    return ownText(code) != nullptr;
}

QString mciErrorText(MCIERROR code)
{
    if (const char* text = ownText(code))
        return QString::fromUtf8(text);
    return QString::fromUtf8("MCI エラーが発生しました (エラー番号 %1)。").arg(code);
}

} // namespace qb::mci
