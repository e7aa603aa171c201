// The stage library's interface: the records, enums and functions through which the
// driver talks to the integrated stepper stages. The driver includes only this header
// and links one implementation of it (ours is the simulator in platform/stagesim);
// the functions have C linkage so that another implementation can be linked instead.
//
// Every call but TLI_BuildDeviceList takes the device's serial-number string first.
// Positions and distances are device units.
#pragma once

#include <cstdint>

typedef std::uint32_t DWORD;
typedef std::uint16_t WORD;

#pragma pack(push, 1)

typedef enum MOT_MotorTypes : std::int32_t {
  MOT_NotMotor = 0,
  MOT_DCMotor = 1,
  MOT_StepperMotor = 2,
  MOT_BrushlessMotor = 3,
  MOT_CustomMotor = 100,
} MOT_MotorTypes;

typedef enum MOT_TravelDirection : std::int16_t {
  MOT_TravelDirectionUndefined = 0,
  MOT_Forwards = 1,
  MOT_Reverse = 2,
} MOT_TravelDirection;

typedef enum MOT_HomeLimitSwitchDirection : std::int16_t {
  MOT_LimitSwitchDirectionUndefined = 0,
  MOT_ReverseLimitSwitch = 1,
  MOT_ForwardLimitSwitch = 4,
} MOT_HomeLimitSwitchDirection;

// Byte-packed, as the library fills it.
typedef struct TLI_DeviceInfo {
  DWORD typeID;
  char description[65];
  char serialNo[16];
  DWORD PID;
  bool isKnownType;
  MOT_MotorTypes motorType;
  bool isPiezoDevice;
  bool isLaser;
  bool isCustomType;
  bool isRack;
  short maxChannels;
} TLI_DeviceInfo;

typedef struct MOT_HomingParameters {
  MOT_TravelDirection direction;
  MOT_HomeLimitSwitchDirection limitSwitch;
  unsigned int velocity;
  unsigned int offsetDistance;
} MOT_HomingParameters;

#pragma pack(pop)

static_assert(sizeof(TLI_DeviceInfo) == 4 + 65 + 16 + 4 + 1 + 4 + 4 + 2, "TLI_DeviceInfo is byte-packed");
static_assert(sizeof(MOT_HomingParameters) == 12, "MOT_HomingParameters is packed");

extern "C" {

short TLI_BuildDeviceList(void);
short TLI_GetDeviceInfo(char const* serialNo, TLI_DeviceInfo* info);

short ISC_Open(char const* serialNo);
void ISC_Close(char const* serialNo);
bool ISC_SetLEDswitches(char const* serialNo, WORD LEDswitches);
bool ISC_StartPolling(char const* serialNo, int milliseconds);
void ISC_StopPolling(char const* serialNo);
void ISC_RegisterMessageCallback(char const* serialNo, void (*functionPointer)());

int ISC_MessageQueueSize(char const* serialNo);
bool ISC_GetNextMessage(char const* serialNo, WORD* messageType, WORD* messageID, DWORD* messageData);
void ISC_ClearMessageQueue(char const* serialNo);

short ISC_GetHomingParamsBlock(char const* serialNo, MOT_HomingParameters* homingParams);
short ISC_SetHomingParamsBlock(char const* serialNo, MOT_HomingParameters* homingParams);
short ISC_Home(char const* serialNo);

short ISC_SetMoveAbsolutePosition(char const* serialNo, int position);
short ISC_MoveAbsolute(char const* serialNo);
short ISC_SetMoveRelativeDistance(char const* serialNo, int distance);
short ISC_MoveRelativeDistance(char const* serialNo);
short ISC_StopProfiled(char const* serialNo);

short ISC_EnableChannel(char const* serialNo);
short ISC_DisableChannel(char const* serialNo);

int ISC_GetPosition(char const* serialNo);
DWORD ISC_GetStatusBits(char const* serialNo);
int ISC_GetNumberPositions(char const* serialNo);

short ISC_GetRealValueFromDeviceUnit(char const* serialNo, int device_unit, double* real_unit, int unitType);
short ISC_GetDeviceUnitFromRealValue(char const* serialNo, double real_unit, int* device_unit, int unitType);

// ---- our extension: the emergency stop's interlock ------------------------------------
// Not part of the stage vendor's interface; the platform calls it, the program never
// does. While the inhibit is engaged for a stage, the stage starts no home and no move:
// ISC_Home, ISC_MoveAbsolute and ISC_MoveRelativeDistance return 0, leave the stage
// where it is, and queue the stopped message (type 2, id 2) after the usual completion
// latency, so that a completion wait ends as it would on a stop. A stop sent to an
// inhibited stage is always answered with the stopped message, also by a stage that
// cannot move (disabled, stalled), so that no wait outlives the emergency stop. Enables,
// disables and readouts work as ever. Returns 0, or the library's error code.
short SL_SetMotionInhibit(char const* serialNo, int engaged);
// 1 while the inhibit is engaged, else 0 (also for an unknown serial).
int SL_GetMotionInhibit(char const* serialNo);

}  // extern "C"

// ---- what a stage reports ---------------------------------------------------------------
// The status bits, messages and error codes that the platform reads (the live readouts,
// the emergency stop, the checks of the simulated sessions). The program itself knows
// only bit 31 and the motor messages, written in its own code.
namespace vx::sl {

// Status bits (ISC_GetStatusBits).
inline constexpr DWORD kForwardLimit = 1u << 0;
inline constexpr DWORD kReverseLimit = 1u << 1;
inline constexpr DWORD kMovingForward = 1u << 4;
inline constexpr DWORD kMovingReverse = 1u << 5;
inline constexpr DWORD kHoming = 1u << 9;
inline constexpr DWORD kHomed = 1u << 10;
inline constexpr DWORD kInterlock = 1u << 11;      // the motion inhibit (emergency stop) is engaged
inline constexpr DWORD kCommandActive = 1u << 29;  // a home or move accepted and not yet ended
inline constexpr DWORD kEnabled = 1u << 31;

// Message types and ids (ISC_GetNextMessage).
inline constexpr WORD kMsgMotor = 2;
inline constexpr WORD kMsgHomed = 0;
inline constexpr WORD kMsgMoved = 1;
inline constexpr WORD kMsgStopped = 2;  // profiled stop, or a move that ended at a limit

// Error codes of the calls that return one.
inline constexpr short kOk = 0;
inline constexpr short kErrNotFound = 2;  // unknown serial, or no device list built
inline constexpr short kErrNotOpen = 3;   // command to a stage that is not open
inline constexpr short kErrBadParam = 4;  // unknown unit type, null pointer

}  // namespace vx::sl
