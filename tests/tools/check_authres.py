#!/usr/bin/python3
"""Parses Authentication-Results header fields with python3-authres.

Usage: check_authres.py [--methods] FILE

FILE holds header fields in message form: each field starts on a line of its
own with its name, and lines beginning with a space or TAB continue it (the
LF-only line breaks of the milter protocol are accepted). For every field one
line is printed, tab-separated:

    ok <authserv-id> <method>=<result> <ptype>.<property>=<value> ... [; ...]

or "error <message>" when authres rejects the field. With --methods the line
of a parsed field is "ok <authserv-id> <method>,<method>,..." (lower case;
nothing after the id when the field reports none). Bytes are passed through
as Latin-1, so any byte survives the round trip.
"""

import re
import sys

import authres
import authres.core


class Rfc8601Header(authres.core.AuthenticationResultsHeader):
    """authres with three corrections, to its CFWS, authserv-id and pvalue rules.

    authres 1.2 stops reading CFWS at the first whitespace after a comment,
    so "id (c) 1; ..." loses its version; RFC 5322 3.2.2 has
    CFWS = (1*([FWS] comment) [FWS]) / FWS.

    authres 1.2 reads the authserv-id as an RFC 5322 dot-atom, so it rejects
    a quoted-string id and reads '/', '=' or '?' as part of one; RFC 8601 2.2
    has authserv-id = value, which RFC 2045 defines as token / quoted-string.

    authres 1.2 accepts a quoted-string pvalue only when ';' or the end of
    the field follows it, and it takes an empty quoted string for no value,
    so it loses a quoted property that another property follows. RFC 8601
    2.2 (pvalue = [CFWS] ( value / ... ) [CFWS], value per RFC 2045) allows
    both; everything else is authres's own grammar.
    """

    def _parse_rfc5322_cfws(self):
        found = False
        while True:
            space = self._parse_pattern(authres.core.RFC5322_FWS_PATTERN)
            comment = self._parse_rfc5322_comment()
            if not (space or comment):
                return found
            found = True

    def _parse_authserv_id(self):
        self._parse_rfc5322_cfws()
        token = self._parse_rfc2045_token()
        if token:
            return token
        quoted = self._parse_rfc5322_quoted_string()
        return quoted and re.sub(r'\\(.)', r'\1', quoted)

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


def describe_methods(header):
    methods = ','.join(result.method.lower() for result in header.results)
    return '\t'.join(['ok', header.authserv_id.lower(), methods])


def main():
    methods_only = sys.argv[1:2] == ['--methods']
    with open(sys.argv[-1], 'rb') as stream:
        text = stream.read().decode('latin-1')
    out = []
    for lines in fields(text):
        # RFC 5322 2.2.3: unfolding removes the line breaks, keeps the WSP.
        field = ''.join(lines)
        try:
            header = Rfc8601Header.parse(authres.core_features(), field)
            out.append(describe_methods(header) if methods_only else describe(header))
        except Exception as error:  # authres reports syntax errors this way
            out.append('error\t' + re.sub(r'\s', ' ', str(error)))
    sys.stdout.buffer.write(('\n'.join(out) + '\n').encode('latin-1'))


if __name__ == '__main__':
    main()
