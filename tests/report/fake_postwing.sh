#!/bin/sh
# Stands in for postwing in the mailer's tests: records its arguments (one per line) and its standard
# input and the password it found in its environment under $FAKE_POSTWING_DIR, appends the recipient to
# "sends" and its subject to "subjects" there (the order of the sends), then behaves as $FAKE_POSTWING_MODE says; the recipient
# named in $FAKE_POSTWING_FULL gets a 450 and the one in $FAKE_POSTWING_SILENT no answer at all; a
# recipient with a line break is refused as postwing refuses it, without being recorded.
printf '%s\n' "$@" > "$FAKE_POSTWING_DIR/args.$$"
printf '%s' "$POSTWING_PASSWORD" > "$FAKE_POSTWING_DIR/password.$$"
cat > "$FAKE_POSTWING_DIR/stdin.$$"
# postwing refuses a recipient with a line break before it connects.
case "$1" in *"$(printf '\r')"* | *"
"*)
    printf 'Message cannot be sent. Reason:\nRecipient address holds a line break; not sent.\n' >&2
    exit 0 ;;
esac
printf '%s\n' "$1" >> "$FAKE_POSTWING_DIR/sends"
printf '%s\n' "$8" >> "$FAKE_POSTWING_DIR/subjects"
[ -n "$FAKE_POSTWING_SILENT" ] && [ "$1" = "$FAKE_POSTWING_SILENT" ] && exec sleep 60
if [ -n "$FAKE_POSTWING_FULL" ] && [ "$1" = "$FAKE_POSTWING_FULL" ]; then
    printf 'Message cannot be sent. Reason:\n450 4.2.2 <%s>: Mailbox full\n' "$1" >&2
    exit 0
fi
case "$FAKE_POSTWING_MODE" in
    fail) printf 'failed for %s\n' "$1" >&2 ;;
    error) printf '%s\n' "$FAKE_POSTWING_ERROR" >&2 ;;
    slow) sleep 1 ;;
    hang) exec sleep 30 ;;
    crash) kill -SEGV $$ ;;
esac
printf 'Bye\n'
