#include "engine/events.h"

const char* StatusName(int code) {
    switch (code) {
    case STATUS_COMMAND_ACCEPTED:
        return "STATUS_COMMAND_ACCEPTED";
    case STATUS_VERIFYING:
        return "STATUS_VERIFYING";
    case STATUS_PROGRAMMING:
        return "STATUS_PROGRAMMING";
    case STATUS_PROGRESS:
        return "STATUS_PROGRESS";
    case STATUS_COMPLETE:
        return "STATUS_COMPLETE";
    case STATUS_PORT_BUSY:
        return "STATUS_PORT_BUSY";
    case STATUS_ERASING:
        return "STATUS_ERASING";
    default:
        return "?";
    }
}

const char* ErrorName(int code) {
    switch (code) {
    case ERR_SOCKETS_SETUP:
        return "ERR_SOCKETS_SETUP";
    case ERR_TFTP_SOCKET:
        return "ERR_TFTP_SOCKET";
    case ERR_TFTP_BIND:
        return "ERR_TFTP_BIND";
    case ERR_SOCKET_CLOSED:
        return "ERR_SOCKET_CLOSED";
    case ERR_READ_REQUEST:
        return "ERR_READ_REQUEST";
    case ERR_CONNECT:
        return "ERR_CONNECT";
    case ERR_SEND:
        return "ERR_SEND";
    case ERR_RECEIVE:
        return "ERR_RECEIVE";
    case ERR_RESOLVE:
        return "ERR_RESOLVE";
    case ERR_LOGIN:
        return "ERR_LOGIN";
    case ERR_NO_PROGRAMMING_REQUEST:
        return "ERR_NO_PROGRAMMING_REQUEST";
    default:
        return "?";
    }
}
