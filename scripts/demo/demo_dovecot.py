#!/usr/bin/env python3
"""A private Dovecot POP3 server on 127.0.0.1 with three demonstration mailboxes.

    demo_dovecot.py DIRECTORY [PORT]     (port 110 by default; root is needed below 1024)

Writes its configuration, a passwd-file and the maildirs into DIRECTORY and runs
Dovecot in the foreground until it is stopped. Used by scripts/screenshots.sh.
"""
import os
import pwd
import sys

MAILBOXES = {
    "alice": ("alice-pw", [
        ("Ann Baker <ann@example.org>", "Lunch on Friday?"),
        ("Lucky Draw <win@lucky-draw.example>", "You are our lottery winner"),
        ("Bank Offers <deals@offers.example>", "=?UTF-8?B?TGFzdCBjaGFuY2U6IDAlIGludGVyZXN0?="),
        ("Tom Reed <tom@example.org>", "Photos from the trip"),
        ("Pharmacy <sales@cheap-pills.example>", "Pills at half price"),
    ]),
    "bob": ("bob-pw", [
        ("Build Server <ci@example.org>", "Nightly build passed"),
        ("Mia Chen <mia@example.net>", "Minutes of Monday's meeting"),
        ("Prize Team <prize@offers.example>", "Claim your gift card"),
    ]),
    "carol": ("carol-pw", [
        ("Weekly News <news@example.net>", "This week in gardening"),
        ("Recipes <hello@example.net>", "Five soups for winter"),
    ]),
}


def message(sender, subject, n):
    body = "Hello,\r\n\r\n" + "This line is part of the body, which is never fetched.\r\n" * (40 * n)
    return (f"Return-Path: <{sender.split('<')[1].rstrip('>')}>\r\n"
            f"Received: from mx.example.net (198.51.100.{n}) by pop.example.net\r\n"
            f"From: {sender}\r\nTo: you@example.net\r\nSubject: {subject}\r\n"
            f"Message-ID: <{n}.{abs(hash(subject))}@example.net>\r\n"
            f"Date: Mon, 7 Dec 2026 08:0{n % 10}:00 +0000\r\n\r\n{body}")


def main():
    base = os.path.abspath(sys.argv[1])
    port = int(sys.argv[2]) if len(sys.argv) > 2 else 110
    root = os.geteuid() == 0
    mail_user = pwd.getpwnam("nobody") if root else pwd.getpwuid(os.geteuid())
    os.makedirs(base, exist_ok=True)
    with open(os.path.join(base, "passwd"), "w") as f:
        for user, (password, _) in MAILBOXES.items():
            f.write(f"{user}:{{PLAIN}}{password}\n")
    for user, (_, messages) in MAILBOXES.items():
        maildir = os.path.join(base, "mail", user, "Maildir")
        for sub in ("cur", "new", "tmp"):
            os.makedirs(os.path.join(maildir, sub), exist_ok=True)
        for n, (sender, subject) in enumerate(messages, 1):
            name = f"{1000000000 + n:010d}.M{n}P1.demo:2,"
            with open(os.path.join(maildir, "cur", name), "w", newline="") as f:
                f.write(message(sender, subject, n))
    for dirpath, _, filenames in os.walk(os.path.join(base, "mail")):
        os.chown(dirpath, mail_user.pw_uid, mail_user.pw_gid)
        for name in filenames:
            os.chown(os.path.join(dirpath, name), mail_user.pw_uid, mail_user.pw_gid)
    me = pwd.getpwuid(os.geteuid())
    conf = f"""base_dir = {base}/run
state_dir = {base}/state
log_path = {base}/log
protocols = pop3
listen = 127.0.0.1
ssl = no
disable_plaintext_auth = no
auth_mechanisms = plain apop
first_valid_uid = 0
first_valid_gid = 0
default_internal_user = {"root" if root else me.pw_name}
default_internal_group = {"root" if root else me.pw_name}
default_login_user = {mail_user.pw_name}
mail_location = maildir:{base}/mail/%u/Maildir
passdb {{
  driver = passwd-file
  args = scheme=PLAIN username_format=%u {base}/passwd
}}
userdb {{
  driver = static
  args = uid={mail_user.pw_uid} gid={mail_user.pw_gid} home={base}/mail/%u
}}
service pop3-login {{
  chroot =
  inet_listener pop3 {{
    address = 127.0.0.1
    port = {port}
  }}
  inet_listener pop3s {{
    port = 0
  }}
}}
service anvil {{
  chroot =
  unix_listener anvil-auth-penalty {{
    mode = 0
  }}
}}
"""
    with open(os.path.join(base, "dovecot.conf"), "w") as f:
        f.write(conf)
    os.execv("/usr/sbin/dovecot", ["dovecot", "-F", "-c", os.path.join(base, "dovecot.conf")])


if __name__ == "__main__":
    main()
