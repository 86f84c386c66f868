#!/usr/bin/python3
"""Parses Authentication-Results header fields with python3-authres.

Usage: check_authres.py FILE

FILE holds header fields in message form: each field starts on a line of its
own with its name, and lines beginning with a space or TAB continue it (the
LF-only line breaks of the milter protocol are accepted). For every field one
line is printed, tab-separated:

    ok <authserv-id> <method>=<result> <ptype>.<property>=<value> ... [; ...]

or "error <message>" when authres rejects the field. Bytes are passed through
as Latin-1, so any byte survives the round trip.
"""

import re
import sys

import authres
import authres.core


class Rfc8601Header(authres.core.AuthenticationResultsHeader):
    """authres with one correction to its pvalue rule.

    authres 1.2 accepts a quoted-string pvalue only when ';' or the end of
    the field follows it, and it takes an empty quoted string for no value,
    so it loses a quoted property that another property follows. RFC 8601
    2.2 (pvalue = [CFWS] ( value / ... ) [CFWS], value per RFC 2045) allows
    both; everything else is authres's own grammar.
    """

    def _parse_pvalue(self):
        self._parse_rfc5322_cfws()
        quoted = self._parse_rfc5322_quoted_string()
        if quoted is None:
            return super()._parse_pvalue()
        if self._parse_pattern(r'@'):
            domain = self._parse_rfc5322_dot_atom()
            self._parse_rfc5322_cfws()
            return '"%s"@%s' % (quoted, domain) if domain else None
        return quoted


def fields(text):
    current = None
    for line in text.split('\n'):
        line = line.rstrip('\r')
        if line[:1] in (' ', '\t') and current is not None:
            current.append(line)
        elif line:
            if current is not None:
                yield current
            current = [line]
    if current is not None:
        yield current


def describe(header):
    items = ['ok', header.authserv_id]
    for index, result in enumerate(header.results):
        if index:
            items.append(';')
        items.append('%s=%s' % (result.method, result.result))
        items.extend('%s.%s=%s' % (p.type, p.name, p.value) for p in result.properties)
    return '\t'.join(items)


def main():
    with open(sys.argv[1], 'rb') as stream:
        text = stream.read().decode('latin-1')
    out = []
    for lines in fields(text):
        # RFC 5322 2.2.3: unfolding removes the line breaks, keeps the WSP.
        field = ''.join(lines)
        try:
            header = Rfc8601Header.parse(authres.core_features(), field)
            out.append(describe(header))
        except Exception as error:  # authres reports syntax errors this way
            out.append('error\t' + re.sub(r'\s', ' ', str(error)))
    sys.stdout.buffer.write(('\n'.join(out) + '\n').encode('latin-1'))


if __name__ == '__main__':
    main()
