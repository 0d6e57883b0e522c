// Every text the operator sees, exactly as the tool has always shown it.
// UTF-8; the half-width katakana and full-width characters are deliberate.
#pragma once

namespace porten::text {

// Loading.
inline constexpr char kFileOpenFailed[] = "ﾌｧｲﾙがｵｰﾌﾟﾝ出来ません";
inline constexpr char kNotSRecord[] = "ﾓﾄﾛｰﾗＳﾌｫｰﾏｯﾄでありません";
inline constexpr char kChecksum[] = "チェックサムが誤っています";
inline constexpr char kMemoryOver[] = "ﾒﾓﾘが８ＭＢを越えます";
inline constexpr char kLoadStart[] = "読込開始";
inline constexpr char kLoadProgressFmt[] = "読込み中： %8ld ﾊﾞｲﾄ";
inline constexpr char kAddressFmt[] = "ｱﾄﾞﾚｽ: %08lX - %08lX";
inline constexpr char kBootLoaderInvalid[] = "Bootﾛｰﾀﾞが不正";
inline constexpr char kPleaseLoad[] = "読込を行って下さい";

// Transfer.
inline constexpr char kWritingFmt[] = "Writing: %ld/%ld (%08lX)";
inline constexpr char kBootLoadFmt[] = "Boot Load: %ld/%ld (%08lX)";
inline constexpr char kWriteDone[] = "書込み終了";
inline constexpr char kWriteError[] = "書込みエラー終了";
inline constexpr char kProgramRunning[] = "プログラム　実行中";
inline constexpr char kWrite[] = "書込み";
inline constexpr char kAbort[] = "中断";
inline constexpr char kNoImage[] = "ﾒﾓﾘﾃﾞｰﾀなし";
inline constexpr char kBootLoaderBad[] = "Bootﾛｰﾀﾞ異常";
// Our own: the old tool waited silently in these cases.
inline constexpr char kEchoMismatchFmt[] = "ｴｺｰ不一致: %ld/%ld (%08lX)";
inline constexpr char kReopenFailed[] = "COMﾎﾟｰﾄを再ｵｰﾌﾟﾝ出来ません";
inline constexpr char kBootRefused[] = "Bootﾓｰﾄﾞ応答異常";
inline constexpr char kPortLost[] = "COMﾎﾟｰﾄが切断されました";
inline constexpr char kSendFailed[] = "COMﾎﾟｰﾄに送信出来ません";

// Dialogs.
inline constexpr char kPortDialogCaption[] = "【COMポート選択】 ポルテン　Ver 1.4";
inline constexpr char kMainCaption[] = "ポルテン　Ver 1.4";
inline constexpr char kPortCaption[] = "COMﾎﾟｰﾄ選択";
inline constexpr char kSelectPort[] = "ＣＯＭポートを選択して下さい";
inline constexpr char kWrongPort[] = "ＣＯＭポートが間違っています";
inline constexpr char kFileErrorCaption[] = "ファイルエラー";
inline constexpr char kSpecifyBootFile[] = "Bootファイルを指定して下さい";
inline constexpr char kTwoSpaces[] = "  ";

}  // namespace porten::text
