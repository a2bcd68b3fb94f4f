"""Stored pickles of cookies and cookie errors.

These bytes were written once and are a stored format: tests load them and
check the objects they give.  Never regenerate or edit them; a change that
makes one of them fail to load breaks pickles that users already keep.
Add new entries instead.

Entries named *_CHECKSUM_* were assembled from explicit reduce recipes, so
they carry the other accepted layout checksums and state forms that the
pickling of the current module does not write itself.
"""

COOKIE_PROTOCOL_0 = (
    b'cglimmering_copper_otter.cookies\n__pyx_unpickle_Cookie\np0\n(cglimmering_copper_ott'
    b'er.cookies\nCookie\np1\nI33774141\nNtp2\nRp3\n(Vsession\np4\nVa b;c=d\np5\nVexample.'
    b'com\np6\ncdatetime\ndatetime\np7\n(c_codecs\nencode\np8\n(V\x07\xee\x01\x02\x03\x04'
    b'\x05\\u0000\\u0000\\u0000\np9\nVlatin1\np10\ntp11\nRp12\ncdatetime\ntimezone\np13\n('
    b'cdatetime\ntimedelta\np14\n(I0\nI0\nI0\ntp15\nRp16\ntp17\nRp18\ntp19\nRp20\nI01\nI36'
    b'00\nV/path\np21\ncglimmering_copper_otter.cookies\nCookieSameSiteMode\np22\n(I2\ntp2'
    b'3\nRp24\nI00\ntp25\nb.'
)

COOKIE_PROTOCOL_1 = (
    b'cglimmering_copper_otter.cookies\n__pyx_unpickle_Cookie\nq\x00(cglimmering_copper_ot'
    b'ter.cookies\nCookie\nq\x01J=Z\x03\x02Ntq\x02Rq\x03(X\x07\x00\x00\x00sessionq\x04X'
    b'\x07\x00\x00\x00a b;c=dq\x05X\x0b\x00\x00\x00example.comq\x06cdatetime\ndatetime\nq'
    b'\x07(c_codecs\nencode\nq\x08(X\x0b\x00\x00\x00\x07\xc3\xae\x01\x02\x03\x04\x05\x00'
    b'\x00\x00q\tX\x06\x00\x00\x00latin1q\ntq\x0bRq\x0ccdatetime\ntimezone\nq\r(cdatetime'
    b'\ntimedelta\nq\x0e(K\x00K\x00K\x00tq\x0fRq\x10tq\x11Rq\x12tq\x13Rq\x14I01\nM\x10\x0e'
    b'X\x05\x00\x00\x00/pathq\x15cglimmering_copper_otter.cookies\nCookieSameSiteMode\nq'
    b'\x16(K\x02tq\x17Rq\x18I00\ntq\x19b.'
)

COOKIE_PROTOCOL_2 = (
    b'\x80\x02cglimmering_copper_otter.cookies\n__pyx_unpickle_Cookie\nq\x00cglimmering_co'
    b'pper_otter.cookies\nCookie\nq\x01J=Z\x03\x02N\x87q\x02Rq\x03(X\x07\x00\x00\x00sessio'
    b'nq\x04X\x07\x00\x00\x00a b;c=dq\x05X\x0b\x00\x00\x00example.comq\x06cdatetime\ndatet'
    b'ime\nq\x07c_codecs\nencode\nq\x08X\x0b\x00\x00\x00\x07\xc3\xae\x01\x02\x03\x04\x05'
    b'\x00\x00\x00q\tX\x06\x00\x00\x00latin1q\n\x86q\x0bRq\x0ccdatetime\ntimezone\nq\rcdat'
    b'etime\ntimedelta\nq\x0eK\x00K\x00K\x00\x87q\x0fRq\x10\x85q\x11Rq\x12\x86q\x13Rq\x14'
    b'\x88M\x10\x0eX\x05\x00\x00\x00/pathq\x15cglimmering_copper_otter.cookies\nCookieSame'
    b'SiteMode\nq\x16K\x02\x85q\x17Rq\x18\x89tq\x19b.'
)

COOKIE_PROTOCOL_3 = (
    b'\x80\x03cglimmering_copper_otter.cookies\n__pyx_unpickle_Cookie\nq\x00cglimmering_co'
    b'pper_otter.cookies\nCookie\nq\x01J=Z\x03\x02N\x87q\x02Rq\x03(X\x07\x00\x00\x00sessio'
    b'nq\x04X\x07\x00\x00\x00a b;c=dq\x05X\x0b\x00\x00\x00example.comq\x06cdatetime\ndatet'
    b'ime\nq\x07C\n\x07\xee\x01\x02\x03\x04\x05\x00\x00\x00q\x08cdatetime\ntimezone\nq\tcd'
    b'atetime\ntimedelta\nq\nK\x00K\x00K\x00\x87q\x0bRq\x0c\x85q\rRq\x0e\x86q\x0fRq\x10'
    b'\x88M\x10\x0eX\x05\x00\x00\x00/pathq\x11cglimmering_copper_otter.cookies\nCookieSame'
    b'SiteMode\nq\x12K\x02\x85q\x13Rq\x14\x89tq\x15b.'
)

COOKIE_PROTOCOL_4 = (
    b'\x80\x04\x95\xfc\x00\x00\x00\x00\x00\x00\x00\x8c\x1fglimmering_copper_otter.cookies'
    b'\x94\x8c\x15__pyx_unpickle_Cookie\x94\x93\x94h\x00\x8c\x06Cookie\x94\x93\x94J=Z\x03'
    b'\x02N\x87\x94R\x94(\x8c\x07session\x94\x8c\x07a b;c=d\x94\x8c\x0bexample.com\x94\x8c'
    b'\x08datetime\x94\x8c\x08datetime\x94\x93\x94C\n\x07\xee\x01\x02\x03\x04\x05\x00\x00'
    b'\x00\x94h\n\x8c\x08timezone\x94\x93\x94h\n\x8c\ttimedelta\x94\x93\x94K\x00K\x00K\x00'
    b'\x87\x94R\x94\x85\x94R\x94\x86\x94R\x94\x88M\x10\x0e\x8c\x05/path\x94h\x00\x8c\x12Co'
    b'okieSameSiteMode\x94\x93\x94K\x02\x85\x94R\x94\x89t\x94b.'
)

COOKIE_PROTOCOL_5 = (
    b'\x80\x05\x95\xfc\x00\x00\x00\x00\x00\x00\x00\x8c\x1fglimmering_copper_otter.cookies'
    b'\x94\x8c\x15__pyx_unpickle_Cookie\x94\x93\x94h\x00\x8c\x06Cookie\x94\x93\x94J=Z\x03'
    b'\x02N\x87\x94R\x94(\x8c\x07session\x94\x8c\x07a b;c=d\x94\x8c\x0bexample.com\x94\x8c'
    b'\x08datetime\x94\x8c\x08datetime\x94\x93\x94C\n\x07\xee\x01\x02\x03\x04\x05\x00\x00'
    b'\x00\x94h\n\x8c\x08timezone\x94\x93\x94h\n\x8c\ttimedelta\x94\x93\x94K\x00K\x00K\x00'
    b'\x87\x94R\x94\x85\x94R\x94\x86\x94R\x94\x88M\x10\x0e\x8c\x05/path\x94h\x00\x8c\x12Co'
    b'okieSameSiteMode\x94\x93\x94K\x02\x85\x94R\x94\x89t\x94b.'
)

BARE_COOKIE_PROTOCOL_4 = (
    b'\x80\x04\x95~\x00\x00\x00\x00\x00\x00\x00\x8c\x1fglimmering_copper_otter.cookies\x94'
    b'\x8c\x15__pyx_unpickle_Cookie\x94\x93\x94h\x00\x8c\x06Cookie\x94\x93\x94J=Z\x03\x02('
    b'NNNN\x89K\x00Nh\x00\x8c\x12CookieSameSiteMode\x94\x93\x94K\x00\x85\x94R\x94\x89t\x94'
    b'\x87\x94R\x94.'
)

COOKIE_CHECKSUM_C44A7B0 = (
    b'\x80\x02cglimmering_copper_otter.cookies\n__pyx_unpickle_Cookie\nq\x00cglimmering_co'
    b'pper_otter.cookies\nCookie\nq\x01J\xb0\xa7D\x0cN\x87q\x02Rq\x03(X\x06\x00\x00\x00leg'
    b'acyq\x04X\x00\x00\x00\x00q\x05Ncdatetime\ndatetime\nq\x06c_codecs\nencode\nq\x07X'
    b'\x0b\x00\x00\x00\x07\xc3\x8f\x0c\x1f\x17;;\x00\x00\x00q\x08X\x06\x00\x00\x00latin1q'
    b'\t\x86q\nRq\x0b\x85q\x0cRq\rK\x01K\x00X\x01\x00\x00\x00/q\x0eK\x01K\x00tq\x0fb.'
)

COOKIE_CHECKSUM_E7407DB = (
    b'\x80\x05\x95y\x00\x00\x00\x00\x00\x00\x00\x8c\x1fglimmering_copper_otter.cookies\x94'
    b'\x8c\x15__pyx_unpickle_Cookie\x94\x93\x94h\x00\x8c\x06Cookie\x94\x93\x94J\xdb\x07t'
    b'\x0e(\x8c\x05older\x94N\x8c\x0c.example.net\x94N\x89J\xfb\xff\xff\xffNK\x07\x88t\x94'
    b'\x87\x94R\x94.'
)

COOKIE_CHECKSUM_2035A3D_STATE_IN_ARGS = (
    b'cglimmering_copper_otter.cookies\n__pyx_unpickle_Cookie\np0\n(cglimmering_copper_ott'
    b'er.cookies\nCookie\np1\nI33774141\n(Vn\np2\nVv\np3\nNNI01\nL9223372036854775807L\nV/'
    b'p\np4\nI3\nI00\ntp5\ntp6\nRp7\n.'
)

SUBCLASS_COOKIE_PROTOCOL_2 = (
    b'\x80\x02cglimmering_copper_otter.cookies\n__pyx_unpickle_Cookie\nq\x00cdata.frozen_c'
    b'lasses\nFrozenCookie\nq\x01J=Z\x03\x02N\x87q\x02Rq\x03(X\x03\x00\x00\x00subq\x04X'
    b'\x05\x00\x00\x00valueq\x05NN\x89K<X\x01\x00\x00\x00/q\x06cglimmering_copper_otter.co'
    b'okies\nCookieSameSiteMode\nq\x07K\x01\x85q\x08Rq\t\x88}q\n(X\x05\x00\x00\x00ownerq'
    b'\x0bX\x05\x00\x00\x00aliceq\x0cX\x04\x00\x00\x00tagsq\r]q\x0e(X\x01\x00\x00\x00aq'
    b'\x0fX\x01\x00\x00\x00bq\x10eutq\x11b.'
)

SUBCLASS_COOKIE_PROTOCOL_5 = (
    b'\x80\x05\x95\xd0\x00\x00\x00\x00\x00\x00\x00\x8c\x1fglimmering_copper_otter.cookies'
    b'\x94\x8c\x15__pyx_unpickle_Cookie\x94\x93\x94\x8c\x13data.frozen_classes\x94\x8c\x0c'
    b'FrozenCookie\x94\x93\x94J=Z\x03\x02N\x87\x94R\x94(\x8c\x03sub\x94\x8c\x05value\x94NN'
    b'\x89K<\x8c\x01/\x94h\x00\x8c\x12CookieSameSiteMode\x94\x93\x94K\x01\x85\x94R\x94\x88'
    b'}\x94(\x8c\x05owner\x94\x8c\x05alice\x94\x8c\x04tags\x94]\x94(\x8c\x01a\x94\x8c\x01b'
    b'\x94eut\x94b.'
)

COOKIE_ERROR_PROTOCOL_0 = (
    b'cglimmering_copper_otter.cookies\nCookieError\np0\n(Vboom\np1\ntp2\nRp3\n.'
)

COOKIE_ERROR_PROTOCOL_5 = (
    b'\x80\x05\x95>\x00\x00\x00\x00\x00\x00\x00\x8c\x1fglimmering_copper_otter.cookies\x94'
    b'\x8c\x0bCookieError\x94\x93\x94\x8c\x04boom\x94\x85\x94R\x94.'
)

COOKIE_ERROR_WITH_DICT_PROTOCOL_4 = (
    b'\x80\x04\x95E\x00\x00\x00\x00\x00\x00\x00\x8c\x1fglimmering_copper_otter.cookies\x94'
    b'\x8c\x0bCookieError\x94\x93\x94N\x85\x94R\x94}\x94\x8c\x04code\x94K\x07sb.'
)

SUBCLASS_COOKIE_ERROR_PROTOCOL_3 = (
    b'\x80\x03cdata.frozen_classes\nFrozenCookieError\nq\x00X\x03\x00\x00\x00subq\x01\x85q'
    b'\x02Rq\x03}q\x04X\x04\x00\x00\x00codeq\x05K\x08sb.'
)

VALUE_TOO_LONG_PROTOCOL_0 = (
    b'ccopy_reg\n__newobj__\np0\n(cglimmering_copper_otter.cookies\nCookieValueExceedsMaxi'
    b'mumLength\np1\nVThe length of the cookie value exceeds the maximum length of 4096 by'
    b'tes, and it would be ignored or truncated by clients. See: https://datatracker.ietf.'
    b'org/doc/html/rfc6265#section-6.1\np2\ntp3\nRp4\n.'
)

VALUE_TOO_LONG_PROTOCOL_2 = (
    b'\x80\x02cglimmering_copper_otter.cookies\nCookieValueExceedsMaximumLength\nq\x00X'
    b'\xb8\x00\x00\x00The length of the cookie value exceeds the maximum length of 4096 by'
    b'tes, and it would be ignored or truncated by clients. See: https://datatracker.ietf.'
    b'org/doc/html/rfc6265#section-6.1q\x01\x85q\x02\x81q\x03.'
)

VALUE_TOO_LONG_PROTOCOL_5 = (
    b'\x80\x05\x95\x06\x01\x00\x00\x00\x00\x00\x00\x8c\x1fglimmering_copper_otter.cookies'
    b'\x94\x8c\x1fCookieValueExceedsMaximumLength\x94\x93\x94\x8c\xb8The length of the coo'
    b'kie value exceeds the maximum length of 4096 bytes, and it would be ignored or trunc'
    b'ated by clients. See: https://datatracker.ietf.org/doc/html/rfc6265#section-6.1\x94'
    b'\x85\x94\x81\x94.'
)

SUBCLASS_VALUE_TOO_LONG_PROTOCOL_5 = (
    b'\x80\x05\x95\x01\x01\x00\x00\x00\x00\x00\x00\x8c\x13data.frozen_classes\x94\x8c\x12F'
    b'rozenValueTooLong\x94\x93\x94\x8c\xb8The length of the cookie value exceeds the maxi'
    b'mum length of 4096 bytes, and it would be ignored or truncated by clients. See: http'
    b's://datatracker.ietf.org/doc/html/rfc6265#section-6.1\x94\x85\x94\x81\x94}\x94\x8c'
    b'\x05field\x94\x8c\x05value\x94sb.'
)

COOKIE_ERROR_CHECKSUM_E3B0C44 = (
    b'\x80\x04\x95k\x00\x00\x00\x00\x00\x00\x00\x8c\x1fglimmering_copper_otter.cookies\x94'
    b'\x8c\x1a__pyx_unpickle_CookieError\x94\x93\x94h\x00\x8c\x0bCookieError\x94\x93\x94JD'
    b'\x0c;\x0e}\x94\x8c\x04code\x94K\x01s\x85\x94\x87\x94R\x94.'
)

COOKIE_ERROR_CHECKSUM_DA39A3E = (
    b'\x80\x04\x95^\x00\x00\x00\x00\x00\x00\x00\x8c\x1fglimmering_copper_otter.cookies\x94'
    b'\x8c\x1a__pyx_unpickle_CookieError\x94\x93\x94h\x00\x8c\x0bCookieError\x94\x93\x94J>'
    b'\x9a\xa3\r)\x87\x94R\x94.'
)

VALUE_TOO_LONG_CHECKSUM_D41D8CD = (
    b'\x80\x04\x95\x93\x00\x00\x00\x00\x00\x00\x00\x8c\x1fglimmering_copper_otter.cookies'
    b'\x94\x8c.__pyx_unpickle_CookieValueExceedsMaximumLength\x94\x93\x94h\x00\x8c\x1fCook'
    b'ieValueExceedsMaximumLength\x94\x93\x94J\xcd\xd8A\r}\x94\x8c\x04code\x94K\x02s\x85'
    b'\x94\x87\x94R\x94.'
)
