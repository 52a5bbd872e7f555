// Every text the launcher shows. The launcher's sources are compiled with
// code page 949 as their execution character set, so these literals are the
// CP949 bytes the player's Windows shows.
#pragma once

namespace texts {

constexpr char kGameName[] = "brightwave7";
constexpr char kDefaultProductName[] = "orvane";
constexpr char kLibraryName[] = "SwarmFetch";

// Start-up and single instance.
constexpr char kAlreadyRunning[] = "이미 다운로드가 진행 중 입니다.";
constexpr char kSkinUrlMissing[] = "런처 이미지 다운로드 실패";
constexpr char kInitFailedFormat[] = "%s 초기화 실패.";
constexpr char kFileListStartFailed[] = "파일목록 다운로드 실패";
constexpr char kFileListFailed[] = "파일 리스트 다운로드에 실패하였습니다.";
constexpr char kSkinFileFailed[] = "스킨파일 다운로드 실패";
constexpr char kSkinStartFailed[] = "스킨 다운로드 실패";
constexpr char kSizeCheckFailed[] = "파일크기 확인 실패";
constexpr char kBadUrl[] = "잘못된 URL이 입력 되었습니다.";

// Dialog texts.
constexpr char kHighSpeedTip[] = "초고속 다운로드는 다운로드 중일 때만 PC자원을 공유합니다.";
constexpr char kInstallerNotice[] = "안내 : 다운로드 받은 파일을 검사하고 설치를 실행합니다.";
constexpr char kConsentText[] = "상기 주의사항과 게임 프로그램 다운로드, 설치에 동의합니다.";

// Folder choice.
constexpr char kFolderTitleFormat[] = "최소 %s의 용량이 필요합니다.\n";
constexpr char kFolderStatusFormat[] = "최소 %s의 용량이 필요합니다.\n남은용량 : %s";
constexpr char kFolderTooLong[] = "선택하신 경로의 길이가 너무 길어 사용하실 수 없습니다.";
constexpr char kFolderRefused[] = "선택하신 경로는 사용하실 수 없습니다.";

// Download control.
constexpr char kConsentRequired[] = "아래 사용 정책에 동의에 체크 하셔야 다운이 가능 합니다.";
constexpr char kNoProtocol[] = "다운로드 받을 수 있는 프로토콜이 존재 하지 않습니다";
constexpr char kStopQuestion[] = "다운로드를 중지하겠습니까?";
constexpr char kInstallerWait[] =
    "현재 실행파일을 검사 중입니다.\n설치 용량에 따라 수 분의 시간이 소요될 수 있으니 기다려 "
    "주시기 바랍니다.";
constexpr char kCloseQuestionFormat[] =
    "창을 닫으시면 %s의 다운로드가 중지됩니다.\n지금 창을 닫으시겠습니까?";
constexpr char kNormalSpeedQuestion[] =
    "초고속 다운로드 동의를 하지 않을 경우 일반 다운로드로 진행 됩니다.\n일반 다운로드로 "
    "진행하시겠습니까?";
constexpr char kDiskFullFormat[] = "해당 디스크(%s)의 공간이 부족(%s) 합니다.";
constexpr char kNetworkPoor[] = "고객님 PC의 네트워크 상태가 좋지 않습니다.\n";
constexpr char kNetworkBack[] = "고객님 PC의 네트워크가 복구 되었습니다.";
constexpr char kDownloadFailedFormat[] =
    "%s 다운로드를 실패 했습니다.\n잠시 후에 다시 시도해 주십시요.";

// Completion.
constexpr char kCompleteQuestion[] = "다운로드가 완료 되었습니다.\n지금 실행 하시겠습니까?";
constexpr char kNotComplete[] = "다운로드가 완료되지 않았습니다.";
constexpr char kRunFileNull[] = "해당 경로(NULL)에 파일이 존재 하지 않습니다.";
constexpr char kRunFileMissingFormat[] = "해당 경로(%s)에 파일이 존재 하지 않습니다.";

// Signed content: a list or an installer that is not the publisher's.
constexpr char kFileListUnverified[] = "파일 목록을 확인할 수 없습니다.";
constexpr char kInstallerUnverified[] = "설치 파일을 확인할 수 없습니다.";

}  // namespace texts
