// Entry of the "udpfwd" subcommand.
#pragma once

// mirevo-load udpfwd --in GROUP:PORT --out HOST:PORT [--iface ADDR] [--duration S]
// The bare UDP hop a relay's multicast endpoints are compared with: joins the IPv4
// group, reads datagrams with recvmmsg and sends them on with sendmmsg. Prints
// {"datagrams":N,"bytes":B} at the end.
int run_udp_forwarder(int argc, char **argv);
