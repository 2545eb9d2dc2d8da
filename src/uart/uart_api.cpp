#include "tbox/uart.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include <glib.h>

#include "common/io.h"
#include "common/log.h"
#include "tbox/errors.h"

namespace {

constexpr int kInvalidFd = -1;

struct SpeedEntry {
    int speed;
    speed_t code;
};

// Searched from the top for an exact match; 19200 and 230400 are deliberately absent.
constexpr SpeedEntry kSpeedTable[] = {
    {9600, B9600},       {38400, B38400},     {57600, B57600},     {115200, B115200},   {460800, B460800},
    {576000, B576000},   {921600, B921600},   {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000},
    {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

const char *system_error() {
    return g_strerror(errno);
}

int open_device(const char *path) {
    if (path == nullptr) {
        TBOX_LOG(err, "UartDdev Path is NULL\n");
        return TBOX_ERR_FAILED;
    }
    // Blocking on purpose: reads wait as VMIN/VTIME say. O_NOCTTY keeps a session leader from
    // acquiring the port as its controlling terminal.
    const int fd = open(path, O_RDWR | O_NOCTTY);
    if (fd < 0) {
        TBOX_LOG(err, "Uart[%s] open Error[%s]\n", path, system_error());
        return TBOX_ERR_FAILED;
    }
    TBOX_LOG(debug, "Uart[%s] open success,fd[%d]\n", path, fd);
    return fd;
}

int set_speed(termios *options, int speed) {
    for (const SpeedEntry &entry : kSpeedTable) {
        if (entry.speed == speed) {
            cfsetispeed(options, entry.code);
            cfsetospeed(options, entry.code);
            TBOX_LOG(debug, "UART Set Speed[%d] Success\n", speed);
            return 0;
        }
    }
    TBOX_LOG(warn, "UART Set Speed Error:Speed[%d] Not Support\n", speed);
    return TBOX_ERR_FAILED;
}

int set_flow_control(termios *options, uint8_t flowCtrl) {
    options->c_cflag |= CLOCAL | CREAD;
    switch (flowCtrl) {
        case 0:
            options->c_cflag &= ~CRTSCTS;
            break;
        case 1:
            options->c_cflag |= CRTSCTS;
            break;
        case 2:
            options->c_iflag |= IXON | IXOFF | IXANY;
            break;
        default:
            TBOX_LOG(err, "UART Set flowCtrl Error: Wrong param [%d]\n", flowCtrl);
            return TBOX_ERR_FAILED;
    }
    TBOX_LOG(debug, "UART Set flowCtrl[%d] Success\n", flowCtrl);
    return 0;
}

int set_data_bits(termios *options, uint8_t dataBit) {
    options->c_cflag &= ~CSIZE;
    switch (dataBit) {
        case 5:
            options->c_cflag |= CS5;
            break;
        case 6:
            options->c_cflag |= CS6;
            break;
        case 7:
            options->c_cflag |= CS7;
            break;
        case 8:
            options->c_cflag |= CS8;
            break;
        default:
            TBOX_LOG(err, "UART Set dataBit Error: Wrong param [%d]\n", dataBit);
            return TBOX_ERR_FAILED;
    }
    TBOX_LOG(debug, "UART Set dataBit[%d] Success\n", dataBit);
    return 0;
}

int set_stop_bits(termios *options, uint8_t stopBit) {
    switch (stopBit) {
        case 1:
            options->c_cflag &= ~CSTOPB;
            break;
        case 2:
            options->c_cflag |= CSTOPB;
            break;
        default:
            TBOX_LOG(err, "UART Set stopBit Error: Wrong param [%d]\n", stopBit);
            return TBOX_ERR_FAILED;
    }
    TBOX_LOG(debug, "UART Set stopBit[%d] Success\n", stopBit);
    return 0;
}

int set_parity(termios *options, uint8_t parity) {
    switch (parity) {
        case 0:
            options->c_cflag &= ~PARENB;
            options->c_iflag &= ~INPCK;
            break;
        case 1:
            options->c_cflag |= PARENB | PARODD;
            options->c_iflag |= INPCK;
            break;
        case 2:
            options->c_cflag |= PARENB;
            options->c_cflag &= ~PARODD;
            options->c_iflag |= INPCK;
            break;
        default:
            TBOX_LOG(err, "UART Set parity Error: Wrong param [%d]\n", parity);
            return TBOX_ERR_FAILED;
    }
    TBOX_LOG(debug, "UART Set parity[%d] Success\n", parity);
    return 0;
}

// Binary-transparent mode: bytes pass unchanged in both directions, and no byte is taken as a line
// editing, signal or XON/XOFF character.
int set_raw_mode(termios *options) {
    options->c_oflag &= ~OPOST;
    options->c_lflag &= ~(ICANON | ECHO | ECHOE | ISIG);
    options->c_iflag &= ~(IXON | IXOFF | IXANY);
    options->c_iflag &= ~(INLCR | IGNCR | ICRNL);
    options->c_oflag &= ~(ONLCR | OCRNL);
    TBOX_LOG(debug, "UART Set HexMode Success\n");
    return 0;
}

int apply_settings(int fd, int speed, uint8_t flowCtrl, uint8_t dataBit, uint8_t stopBit, uint8_t parity) {
    termios options{};
    if (tcgetattr(fd, &options) != 0) {
        TBOX_LOG(warn, "UART Set Error:Get fd[%d] attr error[%s]\n", fd, system_error());
        return TBOX_ERR_FAILED;
    }
    // All settings are checked before anything reaches the device, so a bad one leaves it as it was.
    if (set_speed(&options, speed) != 0 || set_flow_control(&options, flowCtrl) != 0 ||
        set_data_bits(&options, dataBit) != 0 || set_stop_bits(&options, stopBit) != 0 ||
        set_parity(&options, parity) != 0) {
        return TBOX_ERR_FAILED;
    }
    set_raw_mode(&options);
    if (tcsetattr(fd, TCSANOW, &options) != 0) {
        TBOX_LOG(warn, "UART Set fd[%d] Error:activate attr error[%s]\n", fd, system_error());
        return TBOX_ERR_FAILED;
    }
    TBOX_LOG(debug, "Uart fd[%d] set Success\n", fd);
    return 0;
}

}  // namespace

int UartInit(const char *path, int speed, uint8_t flowCtrl, uint8_t dataBit, uint8_t stopBit, uint8_t parity) {
    TBOX_LOG(debug, "Init Uart:[%s],speed[%d],flowCtrl[%d],dataBit[%d],stopBit[%d],parity[%d]\n",
             path != nullptr ? path : "(null)", speed, flowCtrl, dataBit, stopBit, parity);
    const int fd = open_device(path);
    if (fd == TBOX_ERR_FAILED) return TBOX_ERR_FAILED;
    if (apply_settings(fd, speed, flowCtrl, dataBit, stopBit, parity) == TBOX_ERR_FAILED) {
        UartClose(fd);
        TBOX_LOG(err, "Uart[%s] Init Error\n", path);
        return TBOX_ERR_FAILED;
    }
    TBOX_LOG(debug, "Uart[%s] Init Success\n", path);
    return fd;
}

void UartClose(int fd) {
    TBOX_LOG(debug, "Uart fd[%d] closed\n", fd);
    // Not retried on EINTR: Linux releases the descriptor even then, and a retry could close a
    // descriptor another thread has just been given.
    if (fd != kInvalidFd) close(fd);
}

void UartFlush(int fd) {
    TBOX_LOG(debug, "Uart Will be TCIFLUSH\n");
    tcflush(fd, TCIFLUSH);
}

void UartSetCC(int fd, uint8_t vTime, uint8_t vMin) {
    termios options{};
    if (tcgetattr(fd, &options) != 0) {
        TBOX_LOG(warn, "UART Set CC Error:Get fd attr error[%s]\n", system_error());
        return;
    }
    options.c_cflag |= CLOCAL | CREAD;
    options.c_cc[VTIME] = vTime;
    options.c_cc[VMIN] = vMin;
    if (tcsetattr(fd, TCSANOW, &options) != 0) {
        TBOX_LOG(warn, "UART Set CC Error:activate attr error[%s]\n", system_error());
        return;
    }
    TBOX_LOG(debug, "Set Uart CC vTime[%d] vMin[%d] OK\n", vTime, vMin);
}

int UartSendData(int fd, const uint8_t *data, uint32_t len) {
    if (fd == kInvalidFd) {
        TBOX_LOG(err, "Uart fd is invalid,Please call init uart\n");
        return TBOX_ERR_FAILED;
    }
    if (data == nullptr) {
        TBOX_LOG(warn, "Uart SendData Buff is NULL.fd[%d]\n", fd);
        return TBOX_ERR_NULL_BUFFER;
    }
    // The count must fit the int result.
    const size_t total = len > static_cast<uint32_t>(INT_MAX) ? static_cast<size_t>(INT_MAX) : len;
    // A tty write returns short when a signal arrives while it waits for room (full output buffer,
    // RTS/CTS held off); stopping there would silently drop the rest of the message.
    size_t sent = 0;
    if (tbox::io::write_full(fd, data, total, &sent) < 0) {
        TBOX_LOG(warn, "UartSendData Error:fd[%d]-[%d]-[%s]\n", fd, -1, system_error());
        return sent > 0 ? static_cast<int>(sent) : TBOX_ERR_FAILED;
    }
    return static_cast<int>(sent);
}

int UartRecvData(int fd, uint8_t *buffer, uint32_t size) {
    if (fd == kInvalidFd) {
        TBOX_LOG(err, "Uart fd is invalid,Please call init uart\n");
        return TBOX_ERR_FAILED;
    }
    if (buffer == nullptr) {
        TBOX_LOG(warn, "Uart Recv Buff is NULL\n");
        return TBOX_ERR_NULL_BUFFER;
    }
    const size_t capacity = size > static_cast<uint32_t>(INT_MAX) ? static_cast<size_t>(INT_MAX) : size;
    // One read: a signal ends the wait with -11, which is how a caller can wake a blocked reader.
    const ssize_t n = read(fd, buffer, capacity);
    if (n < 0) {
        TBOX_LOG(warn, "UartRecvData Error:[%d]-[%s]\n", static_cast<int>(n), system_error());
        return TBOX_ERR_READ;
    }
    return static_cast<int>(n);
}
