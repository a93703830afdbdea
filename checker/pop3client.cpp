#include "pop3client.h"

// Placeholder until the libcurl client lands.
Pop3Client::Pop3Client() = default;
Pop3Client::~Pop3Client() = default;
bool Pop3Client::connected() const { return m_connected; }
void Pop3Client::connect() { throw Pop3Error("POP3 is not available yet"); }
qint64 Pop3Client::messageCount() { return 0; }
qint64 Pop3Client::mailboxSize() { return 0; }
void Pop3Client::disconnect() { m_connected = false; }
