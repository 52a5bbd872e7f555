// Whether the machine is connected to a network that can reach the internet,
// as the downloaders' once-a-second check asks it.
//
// Windows: InternetGetConnectedState (a modem, LAN or proxy connection is
// configured and up; under Wine it answers connected).
// POSIX: there is no such service; the equivalent is a network interface
// other than loopback that is up and running and carries an IPv4 address or
// an IPv6 address that is not link-local. Like the Windows call it looks at
// the machine's own configuration only and sends nothing.
#pragma once

bool PfInternetConnected();
