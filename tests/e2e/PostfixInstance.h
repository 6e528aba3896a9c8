// A private Postfix for the end-to-end tests, set up as an after-queue
// content filter in front of `vtserver smtp`, as Postfix's FILTER_README
// describes: mail from its public smtpd goes through the filter transport to
// our listener, and what comes back on its reinjection smtpd is delivered
// into a Maildir. Everything lives in a temporary folder of its own, on
// loopback ports of its own; of /etc/postfix only the package's list of its
// files is read (by post-install), and the system's instance is not touched.
// `postfix -c` and `postqueue -c` need no alternate_config_directories in
// the system's main.cf when run by root. The instance needs root, as
// Postfix's master does.
//
// The lines of the content filter set-up, as a mail server's main.cf and
// master.cf have them (the instance here binds its two smtpd services to
// loopback ports of its own):
//
//   main.cf
//     content_filter = vtrouter:[127.0.0.1]:10025
//     receive_override_options = no_address_mappings
//
//   master.cf
//     smtp inet n - - - - smtpd
//     vtrouter unix - - n - 10 smtp
//       -o smtp_send_xforward_command=yes
//       -o disable_mime_output_conversion=yes
//       -o smtp_generic_maps=
//     127.0.0.1:10026 inet n - n - 10 smtpd
//       -o content_filter=
//       -o
//       receive_override_options=no_unknown_recipient_checks,no_header_body_checks,no_milters
//       -o smtpd_helo_restrictions=
//       -o smtpd_client_restrictions=
//       -o smtpd_sender_restrictions=
//       -o smtpd_relay_restrictions=
//       -o smtpd_recipient_restrictions=permit_mynetworks,reject
//       -o mynetworks=127.0.0.0/8
//       -o smtpd_authorized_xforward_hosts=127.0.0.0/8
//
// `vtserver smtp DIR --listen 127.0.0.1:10025` takes the filtered mail; the
// filter transport's process limit (10) stays below the listener's
// --max-connections. Delivery hands mail back to 127.0.0.1:10026, which
// skips the filter (content_filter empty) and the checks already made.
//
// What makes the instance private and keeps it on this machine (main.cf):
//
//   compatibility_level = 3.6
//   queue_directory = FOLDER/queue
//   data_directory = FOLDER/data
//   maillog_file = FOLDER/postfix.log
//   maillog_file_prefixes = FOLDER
//   myhostname = mx.example.org
//   inet_interfaces = 127.0.0.1
//   inet_protocols = ipv4
//   mynetworks = 127.0.0.0/8
//   mydestination =
//   relay_domains =
//   alias_maps =
//   alias_database =
//   local_recipient_maps =
//   smtpd_peername_lookup = no
//   smtp_dns_support_level = disabled
//   default_transport = error:mail leaves only through the filter
//   relay_transport = error:mail leaves only through the filter
//   smtpd_relay_restrictions = permit_mynetworks, reject_unauth_destination
//   virtual_mailbox_domains = example.com
//   virtual_mailbox_base = FOLDER/mail
//   virtual_mailbox_maps = static:inbox/
//   virtual_uid_maps = static:UID
//   virtual_gid_maps = static:GID
//
// with the daemons of a minimal master.cf, none chrooted, and postlogd for
// the log file (no syslog needed). Mail for any address at example.com goes
// into the one Maildir FOLDER/mail/inbox/, written as the user nobody.
#pragma once

#include <string>
#include <vector>

#include "Programs.h"

namespace vt::e2e {

// A message in Postfix's queue, as `postqueue -j` lists it.
struct QueuedMessage {
  std::string queueName;  // "incoming", "active", "deferred", "hold"
  std::string queueId;
  std::string sender;
  std::vector<std::string> recipients;
  std::vector<std::string> delayReasons;  // one per recipient, may be empty
};

// What a test may change of the instance's configuration; the defaults are
// the configuration above.
struct PostfixSettings {
  // The filter transport's process limit: how many connections Postfix
  // opens to the listener at once.
  int filterProcesses = 10;
  // message_size_limit in bytes; 0 keeps Postfix's default (10240000).
  long messageSizeLimit = 0;
  // Seconds between queue runs and before deferred mail is tried again; 0
  // keeps Postfix's defaults (minutes, too long for a test whose listener
  // comes and goes).
  int retrySeconds = 0;
};

class PostfixInstance {
 public:
  // Makes the folder and picks two free loopback ports; starts nothing.
  PostfixInstance();
  // Stops the instance and every process of it, and removes the folder. A
  // test process that dies without it leaves a watchdog that stops the
  // instance.
  ~PostfixInstance();
  PostfixInstance(const PostfixInstance&) = delete;
  PostfixInstance& operator=(const PostfixInstance&) = delete;

  // Why no instance can run here (not root, Postfix or swaks missing), or
  // empty.
  static std::string Unavailable();

  // Writes main.cf and master.cf with the content filter at
  // 127.0.0.1:filterPort and starts the master; whether it runs. error()
  // says why not.
  bool Start(int filterPort, const PostfixSettings& settings = {});
  // Ends the master and waits until none of its processes is left.
  void Stop();

  const std::string& error() const { return error_; }
  // The public smtpd, filtered.
  int publicPort() const { return publicPort_; }
  // The reinjection smtpd, unfiltered.
  int reinjectionPort() const { return reinjectionPort_; }
  std::string configDirectory() const;
  // Postfix's log as it is now.
  std::string Log() const;

  // swaks to 127.0.0.1:port: the envelope, and message (lines ending in
  // "\n" or "\r\n") as the data, sent with CRLF line ends.
  RunResult Send(int port, const std::string& from, const std::string& to,
                 const std::string& message) const;
  // The queue as `postqueue -c DIR -j` shows it.
  std::vector<QueuedMessage> Queue() const;
  // `postqueue -c DIR -f`: deliver what is deferred now.
  RunResult Flush() const;

  // The file names of the delivered messages in the Maildir, oldest first.
  std::vector<std::string> Maildir() const;
  // The bytes of a delivered message (lines end in "\n", as Maildir keeps
  // them).
  std::string ReadMaildir(const std::string& name) const;

 private:
  bool WriteConfig(int filterPort, const PostfixSettings& settings);
  void StartWatchdog();
  void StopWatchdog();

  std::string folder_;
  int publicPort_ = 0;
  int reinjectionPort_ = 0;
  int masterPid_ = 0;
  int watchdogPid_ = 0;
  int watchdogPipe_ = -1;
  mutable int sent_ = 0;  // names the data files of Send
  std::string error_;
};

// The body of a message: what follows the first empty line.
std::string MessageBody(const std::string& message);
// The message with every "\r\n" as "\n".
std::string WithLfLineEnds(const std::string& message);

}  // namespace vt::e2e
