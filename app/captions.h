// The window's captions and messages in both languages. The Japanese texts are the designed ones
// (shown on a Japanese system); the English set replaces them everywhere else. Controls are named
// by their object names. An empty English text means the designed caption is already English and
// stays.
#pragma once

#include <array>
#include <string_view>

namespace tessaline {

struct Caption {
    std::string_view name;
    std::string_view japanese;
    std::string_view english;
};

inline constexpr Caption kCaptions[] = {
    {"grpGroup", " キャプチャデバイス ", " Capture Device "},
    // Recording bar.
    {"lblTime", "分間", "Min."},
    {"btnRec", "開 始", "Rec."},
    {"btnStop", "停 止", "Stop"},
    {"chkFileName", "ファイル名", "File Name"},
    {"btnTimeAdd", "１０分延長", "Add 10min."},
    // Tabs.
    {"TabSheet1", " 予約情報 ", "Reserve"},
    {"TabSheet2", " データ情報 ", "Data Info."},
    {"TabSheet3", " DozazID ", ""},
    {"TabSheet4", " Belvane ", ""},
    {"TabSheet5", " 各種設定 ", "Setting"},
    // Reservations.
    {"chkTimer", "タイマー予約", "Timer Reserve "},
    {"lblWeek", "毎週", "Weekly"},
    {"chkWeekMon", "月", "Mo"},
    {"chkWeekTue", "火", "Tu"},
    {"chkWeekWed", "水", "We"},
    {"chkWeekThu", "木", "Th"},
    {"chkWeekFri", "金", "Fr"},
    {"chkWeekSat", "土", "Sa"},
    {"chkWeekSun", "日", "Su"},
    {"chkSkip", "SKIP", ""},
    {"lblStart", "開始", "Start"},
    {"lblEnd", "終了", "End"},
    {"lblAfter", "録画後", "After"},
    {"lblFileRsv", "ファイル名", "File Name"},
    {"btnAdd", "登 録", "Reg"},
    {"btnEsc", "取 消", "Cancel"},
    {"btnEdit", "修 正", "Edit"},
    {"btnDel", "削 除", "Delete"},
    {"btnClear", "クリア", "Clear"},
    // Data Info labels are English in both languages.
    {"lblVSize", "Size", ""},
    {"lblVAspect", "Aspect Ratio", ""},
    {"lblVFrameRate", "Frame Rate", ""},
    {"lblVBitRate", "Bit Rate", ""},
    {"lblVPTS", "PTS", ""},
    {"lblALayer", "Layer", ""},
    {"lblABitRate", "Bit Rate", ""},
    {"lblAFrequency", "Frequency", ""},
    {"lblDelay", "Delay (PTS)", ""},
    {"lblAPTS", "PTS", ""},
    // Batch conversion.
    {"lblRemuxIN", " 入力ファイル", " Input Filename"},
    {"lblRemuxOut", "出力ファイル", "Output Filename"},
    {"btnOpen", "参 照", "File .."},
    {"btnSave", "参 照", "File .."},
    {"lblPIDV", "VIDEO PID 0x", ""},
    {"lblPIDA", "AUDIO PID 0x", ""},
    {"btnPID", "PID検索", "PID Search"},
    {"btnStart", "開 始", "Start"},
    {"lblStat", "状 況", "STATUS"},
    {"btnRemuxAdd", "追 加", "Add Job"},
    {"btnRemuxDel", "削 除", "Del Job"},
    {"btnRemuxClear", "クリア", "Clear Job"},
    {"btnOutDir", "フォルダ設定", "Out Folder"},
    {"chkFolder", "出力先固定", "Fixed Out Folder"},
    // Writing to the deck: English in both languages.
    {"lblFile", "File:", ""},
    {"btnFile", "...", ""},
    {"chkRepeat", "Repeat", ""},
    {"chkRec", "Rec. Start", ""},
    {"chkVerify", "書き込み後に照合", "Verify after writing"},
    {"lblRec", "ms", ""},
    {"btnWrtStart", "START", ""},
    {"btnWrtStop", "STOP", ""},
    {"btnWrtClear", "Clear", ""},
    {"btnWrtDel", "Delete", ""},
    // Settings.
    {"chkPES", "PSで出力", "Output PS"},
    {"chkTrimPacket", "パケットを188バイトに変換", "Convert 188 bytes"},
    {"chkIFrame", "PTSをチェックする", "Check PTS"},
    {"chkPowerOn", "キャプチャ開始でビデオ電源オン", "Video Power On at Capture Start"},
    {"chkPowerOff", "キャプチャ停止でビデオ電源オフ", "Video Power Off at Capture Stop"},
    {"chkPrivateStream", "プライベートストリームもチェック", "Check Private Stream"},
    {"chkFileExist", "ファイルの存在チェック", "Check File Exists"},
    {"chkSyncByte", "同期バイトまで削除する", "Delete to SyncByte"},
    {"chkAddDelay", "ファイル名にディレイを追加する", "Add delay to File Name"},
    {"chkTaskTray", "最小化時にタスクトレイに入れる", "Minimized to Task Tray"},
    {"chkReservePowerOn", "予約時、ビデオの電源をオンしない",
     "Does not \"Video Power On\" at reserve"},
    {"chkReservePowerOff", "予約時、ビデオの電源をオフしない",
     "Does not \"Video Power Off\" at reserve"},
    {"chkDateFormat", "ファイル名に日付を追加する", "Add Date to File Name"},
    {"lblDateFormat", "日付のフォーマット :", "Date Format :"},
    {"lblPSExt", "PS出力の拡張子 :", "PS File Ext. :"},
    {"lblTS188Ext", "188 Bytes TS出力の拡張子 :", "188 Bytes TS File Ext. :"},
    {"lblTS192Ext", "192 Bytes TS出力の拡張子 :", "192 Bytes TS File Ext. :"},
    {"lblNameFormat", "ファイル名のフォーマット :", "File Name Format :"},
    {"lblNameFormat2", "(ファイル名指定無しの場合)", "(Default File Name)"},
    {"btnDir", "フォルダ設定", "Save Folder"},
    {"btnFolderOpen", "フォルダオープン", "Open Folder"},
};

// Items of the after-recording box, in the order of the power actions 0..4.
inline constexpr std::array<std::string_view, 5> kPowerItemsJapanese = {
    "なし", "シャットダウン", "スタンバイ", "休止状態", "パワーオフ"};
inline constexpr std::array<std::string_view, 5> kPowerItemsEnglish = {
    "none", "shutdown", "standby", "hibernate", "power off"};

// Grid headers, column by column.
inline constexpr std::array<std::string_view, 3> kTimerHeaderJapanese = {"開始時刻", "終了時刻",
                                                                         "状態"};
inline constexpr std::array<std::string_view, 3> kTimerHeaderEnglish = {"START TIME", "END TIME",
                                                                        "STATUS"};
inline constexpr std::array<std::string_view, 2> kListHeaderJapanese = {"入力ファイル",
                                                                        "出力ファイル"};
inline constexpr std::array<std::string_view, 2> kListHeaderEnglish = {"Input Filename",
                                                                       "Output Filename"};
inline constexpr std::string_view kWriteHeader = "FILE NAME";

struct MessageText {
    std::string_view japanese;
    std::string_view english;
};
inline constexpr MessageText kCaptionError = {"エラー", "ERROR"};
// The writing list's second column: what the verification after writing found.
inline constexpr MessageText kWriteStatusHeader = {"照合", "STATUS"};
inline constexpr MessageText kCaptionQuestion = {"質問", "Question"};
inline constexpr MessageText kMsgNoDevice = {"キャプチャデバイスが見つかりません。",
                                             "Cannot find capture device"};
inline constexpr MessageText kMsgNoGrabber = {"SampleGrabberがフィルタとして登録されていません",
                                              "SampleGrabberis not registered"};
// %s is the settings file's path.
inline constexpr MessageText kMsgCannotWrite = {"%s に書き込めません", "Cannot write to %s"};
// Heads the list of the batch jobs that could not be converted ("input: why" lines follow).
inline constexpr MessageText kMsgJobsFailed = {
    "次のジョブは変換できませんでした。出力ファイルは元のままです:",
    "These jobs could not be converted; their output files are as they were:"};
inline constexpr MessageText kPanelRecording = {" 録画中", "Recording"};
inline constexpr std::string_view kFolderDialogTitle = "Please select output folder";

inline std::string_view Pick(const MessageText& text, bool english) {
    return english ? text.english : text.japanese;
}

}  // namespace tessaline
