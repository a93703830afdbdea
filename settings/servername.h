#pragma once

#include <QString>

// The rule for a server name (the ServerName setting), checked before the
// name reaches a resolver, a URL or a program. Every user of the name runs
// the same check and words its own message from the result.
//
// A server name is a host name (ASCII letters, digits, '-', '.', '_', and
// any other character of an internationalised name) or an IPv6 address,
// bare or in brackets, with an optional zone after '%'. Refused: an empty
// name; blanks and controls of any kind (spaces, no-break spaces, line
// breaks, C0 and C1 controls, the invisible format characters); a leading
// '-', which a program could read as an option; anything else that could
// change how a URL or a resolver reads the name ('/', '@', ':', '%', ...);
// and U+FFFD, which stands for bytes that were not text. QtCore only.
struct ServerNameCheck
{
    enum Fault {
        Accepted,
        Empty,
        BlankOrControl,
        LeadingDash,
        NotAnAddress,      // holds ':' but is no IPv6 address ("host:port")
        ForbiddenCharacter // see character
    };

    Fault fault = Empty;
    QString character; // ForbiddenCharacter: the first such character
    bool ipv6 = false;
    QString host; // Accepted: the name as given, or the IPv6 address without brackets and zone
    QString zone; // an IPv6 address's zone ("eth0" of "fe80::1%eth0"), or empty

    bool accepted() const { return fault == Accepted; }
    // The form a resolver takes: the name, or the address with "%zone".
    QString lookupForm() const;
};

ServerNameCheck CheckServerName(const QString &name);
