"""Command line: ``python -m corvane_sandbox [--port N] [--auto-approve] ...``
starts the sandbox on 127.0.0.1 and serves until interrupted (or until
``--exit-after`` seconds have passed)."""

from __future__ import annotations

import argparse
import math
import signal
import sys
import threading

from .server import DEFAULT_PORT, Sandbox, SandboxConfig


def _ranged(kind, low=None, high=None, above=None):
    """An argparse type: a ``kind`` (int or float) number, finite, at least
    ``low``, at most ``high`` and greater than ``above`` where given."""
    def convert(text):
        shown = text if len(text) <= 20 else f"{text[:20]}… ({len(text)} characters)"
        try:
            value = kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{shown!r} is not {'a whole' if kind is int else 'a'} number") from None
        if kind is float and not math.isfinite(value):
            raise argparse.ArgumentTypeError(f"{shown!r} is not a finite number")
        bounds = [(f"{words} {limit}", broken) for limit, words, broken in (
            (low, "at least", low is not None and value < low),
            (above, "greater than", above is not None and value <= above),
            (high, "at most", high is not None and value > high)) if limit is not None]
        if any(broken for _, broken in bounds):
            limits = " and ".join(text for text, _ in bounds)
            raise argparse.ArgumentTypeError(f"{shown} is out of range: it must be {limits}")
        return value
    convert.__name__ = kind.__name__  # what argparse names in its own messages
    return convert


def parse_args(argv):
    defaults = SandboxConfig()
    parser = argparse.ArgumentParser(prog="corvane-sandbox", description=(
        "Local Corvane Connect service for developing and testing the addon. Binds 127.0.0.1 only."))
    parser.add_argument("--port", type=_ranged(int, 0, 65535), default=DEFAULT_PORT,
                        help=f"loopback port (default {DEFAULT_PORT}; 0 picks a free one)")
    parser.add_argument("--client-id", default=defaults.client_id, help="registered OAuth client identifier")
    parser.add_argument("--client-secret", default=defaults.client_secret, help="its client secret")
    parser.add_argument("--auto-approve", action="store_true",
                        help="the authorisation page approves at once and redirects (for scripts)")
    parser.add_argument("--clock-skew", type=_ranged(int, 0, 366 * 86400), default=defaults.clock_skew,
                        help="seconds that (created) may differ from the sandbox's clock")
    parser.add_argument("--seed", type=int, default=defaults.seed, help="seed of the generated bank data")
    parser.add_argument("--accounts", type=_ranged(int, 1, 100_000), default=defaults.accounts,
                        help="number of accounts")
    parser.add_argument("--reporting-accounts", type=_ranged(int, 0), default=defaults.reporting_accounts,
                        help="how many of the accounts have daily statements")
    parser.add_argument("--report-days", type=_ranged(int, 0, 3660), default=defaults.report_days,
                        help="booking days with a statement")
    parser.add_argument("--payment-step", type=_ranged(float, above=0), default=defaults.payment_step,
                        help="seconds between the status steps of a payment request")
    parser.add_argument("--access-ttl", type=_ranged(int, 1, 366 * 86400), default=defaults.access_ttl,
                        help="access token lifetime (s)")
    parser.add_argument("--exit-after", type=_ranged(float, 0), default=None, help="stop after this many seconds")
    parser.add_argument("--quiet", action="store_true", help="do not log each request to stderr")
    args = parser.parse_args(argv)
    if args.reporting_accounts > args.accounts:
        parser.error(f"argument --reporting-accounts: {args.reporting_accounts} is out of range: at most --accounts"
                     f" ({args.accounts})")
    return args


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    config = SandboxConfig(port=args.port, client_id=args.client_id, client_secret=args.client_secret,
                           auto_approve=args.auto_approve, clock_skew=args.clock_skew, seed=args.seed,
                           accounts=args.accounts, reporting_accounts=args.reporting_accounts,
                           report_days=args.report_days, payment_step=args.payment_step,
                           access_ttl=args.access_ttl, quiet=args.quiet)
    sandbox = Sandbox(config)
    try:
        sandbox.bind()
    except OSError as exc:
        print(f"corvane-sandbox: cannot listen on 127.0.0.1:{args.port}: {exc.strerror}", file=sys.stderr)
        return 2
    print(f"Corvane Connect sandbox listening on {sandbox.url}\n"
          f"  TOLVEX_API_HOST_URL = \"{sandbox.url}\"\n"
          f"  TOLVEX_API_HOST     = \"{sandbox.host}\"\n"
          f"  client id / secret  = {config.client_id} / {config.client_secret}\n"
          f"  certificate authority: POST {sandbox.url}/_sandbox/certificates (PEM CSR)\n"
          f"  request inspector:     {sandbox.url}/_sandbox/", flush=True)

    def stop(*_):
        sandbox.request_shutdown()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    if args.exit_after is not None:
        timer = threading.Timer(args.exit_after, stop)
        timer.daemon = True
        timer.start()
    sandbox.serve_forever()
    return 0


if __name__ == "__main__":
    sys.exit(main())
