#!/bin/sh
# Stands in for postwing in the mailer's tests: records its arguments (one per line) and its standard
# input and the password it found in its environment under $FAKE_POSTWING_DIR, appends the recipient to
# "sends" and its subject to "subjects" there (the order of the sends), then behaves as $FAKE_POSTWING_MODE says; the recipient
# named in $FAKE_POSTWING_FULL gets a 450 and the one in $FAKE_POSTWING_SILENT no answer at all.
printf '%s\n' "$@" > "$FAKE_POSTWING_DIR/args.$$"
printf '%s' "$POSTWING_PASSWORD" > "$FAKE_POSTWING_DIR/password.$$"
cat > "$FAKE_POSTWING_DIR/stdin.$$"
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
