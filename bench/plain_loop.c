/* The yardstick for krvd's junk flood: the least a receive loop can do and still write the
 * same two lines per datagram, with ordinary stdio buffering. Binds UDP port 7217. */

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <sys/socket.h>

int main(void) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    int on = 1;
    struct sockaddr_in local = {0};
    local.sin_family = AF_INET;
    local.sin_port = htons(7217);
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (fd < 0 || bind(fd, (struct sockaddr*)&local, sizeof local) != 0) {
        perror("plain_loop");
        return 1;
    }
    char buffer[512];
    for (;;) {
        struct sockaddr_in sender;
        socklen_t length = sizeof sender;
        ssize_t count =
            recvfrom(fd, buffer, sizeof buffer, 0, (struct sockaddr*)&sender, &length);
        if (count <= 0) {
            continue;
        }
        fwrite(buffer, 1, (size_t)count, stdout);
        fputc('\n', stdout);
        printf("[%s] Message not understood... \n\n", inet_ntoa(sender.sin_addr));
    }
}
