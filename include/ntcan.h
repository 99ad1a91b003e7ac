/*
 * ntcan.h - the NTCAN CAN interface driver as the library sees it.
 *
 * Nine operations with C linkage, the frame and status records, and the status codes.
 * Any library that provides these nine functions with this ABI can serve as the driver.
 */
#ifndef NTCAN_H
#define NTCAN_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t NTCAN_HANDLE;
typedef int NTCAN_RESULT;

/* One CAN frame. len holds the data length (0..8); NTCAN_RTR added marks a remote request. */
typedef struct {
  int32_t id;
  uint8_t len;
  uint8_t msg_lost;
  uint8_t reserved[2];
  uint8_t data[8];
} CMSG;

/* Controller status of a handle's net. */
typedef struct {
  uint16_t hardware;
  uint16_t firmware;
  uint16_t driver;
  uint16_t dll;
  uint32_t boardstatus;
  uint8_t boardid[14];
  uint16_t features;
} CAN_IF_STATUS;

#define NTCAN_NO_HANDLE ((NTCAN_HANDLE)-1)

/* Flag in CMSG.len: remote transmission request. */
#define NTCAN_RTR 0x10
/* Data length of a CMSG.len value. */
#define NTCAN_DLC(len) ((len)&0x0F)
/* Flag in an identifier: 29-bit (extended) frame. */
#define NTCAN_20B_BASE 0x20000000

/* Status codes. */
#define NTCAN_SUCCESS 0x0
#define NTCAN_RX_TIMEOUT 0x101
#define NTCAN_TX_TIMEOUT 0x102
#define NTCAN_TX_ERROR 0x104
#define NTCAN_CONTR_OFF_BUS 0x105
#define NTCAN_CONTR_BUSY 0x106
#define NTCAN_CONTR_WARN 0x107
#define NTCAN_NO_ID_ENABLED 0x109
#define NTCAN_ID_ALREADY_ENABLED 0x10a
#define NTCAN_ID_NOT_ENABLED 0x10b
#define NTCAN_INVALID_FIRMWARE 0x10d
#define NTCAN_MESSAGE_LOST 0x10e
#define NTCAN_INVALID_PARAMETER 0x16
#define NTCAN_INVALID_HANDLE 0x4d
#define NTCAN_NET_NOT_FOUND 0x13
#define NTCAN_INVALID_HARDWARE 0x10f
#define NTCAN_PENDING_WRITE 0x110
#define NTCAN_PENDING_READ 0x111
#define NTCAN_INVALID_DRIVER 0x112
#define NTCAN_OPERATION_ABORTED 0x4
#define NTCAN_WRONG_DEVICE_STATE 0x113
#define NTCAN_INSUFFICIENT_RESOURCES 0xc
#define NTCAN_SOCK_CONN_TIMEOUT 0x180
#define NTCAN_SOCK_CMD_TIMEOUT 0x181
#define NTCAN_SOCK_HOST_NOT_FOUND 0x182

/* Baud-rate code of 125 kbit/s, the default. */
#define NTCAN_BAUD_125 6

/* Opens a handle on net. Time-outs in milliseconds; the queue sizes count frames. */
NTCAN_RESULT canOpen(int net, uint32_t flags, int32_t txqueuesize, int32_t rxqueuesize,
                     int32_t txtimeout, int32_t rxtimeout, NTCAN_HANDLE* handle);
NTCAN_RESULT canClose(NTCAN_HANDLE handle);
NTCAN_RESULT canSetBaudrate(NTCAN_HANDLE handle, uint32_t baud);
/* Enables / disables reception of one identifier on the handle. */
NTCAN_RESULT canIdAdd(NTCAN_HANDLE handle, int32_t id);
NTCAN_RESULT canIdDelete(NTCAN_HANDLE handle, int32_t id);
/* *len: in, frames to send; out, frames sent. */
NTCAN_RESULT canSend(NTCAN_HANDLE handle, CMSG* cmsg, int32_t* len);
/* Waits up to the handle's receive time-out. *len: in, capacity; out, frames received. */
NTCAN_RESULT canRead(NTCAN_HANDLE handle, CMSG* cmsg, int32_t* len, void* ovrlppd);
/* Returns at once with what is queued. *len as canRead. */
NTCAN_RESULT canTake(NTCAN_HANDLE handle, CMSG* cmsg, int32_t* len);
NTCAN_RESULT canStatus(NTCAN_HANDLE handle, CAN_IF_STATUS* cstat);

#ifdef __cplusplus
}

static_assert(sizeof(CMSG) == 16, "CMSG is 16 bytes");
static_assert(offsetof(CMSG, id) == 0 && offsetof(CMSG, len) == 4 &&
                  offsetof(CMSG, msg_lost) == 5 && offsetof(CMSG, reserved) == 6 &&
                  offsetof(CMSG, data) == 8,
              "CMSG layout");
static_assert(sizeof(CAN_IF_STATUS) == 28, "CAN_IF_STATUS is 28 bytes");
static_assert(offsetof(CAN_IF_STATUS, boardstatus) == 8 && offsetof(CAN_IF_STATUS, boardid) == 12 &&
                  offsetof(CAN_IF_STATUS, features) == 26,
              "CAN_IF_STATUS layout");
#else
_Static_assert(sizeof(CMSG) == 16, "CMSG is 16 bytes");
_Static_assert(sizeof(CAN_IF_STATUS) == 28, "CAN_IF_STATUS is 28 bytes");
#endif

#endif /* NTCAN_H */
