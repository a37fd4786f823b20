# An aiosmtpd server on loopback for the replay suite: STARTTLS with the
# certificate given, a recipient refused when named, each message received
# written on stdout. Prints "port N" once listening on a port the system picked.
import asyncio
import ssl
import sys

from aiosmtpd.smtp import SMTP


class Handler:
    def __init__(self, refused):
        self.refused = refused

    async def handle_RCPT(self, server, session, envelope, address, options):
        if address == self.refused:
            return '550 5.1.1 <%s>: recipient refused' % address
        envelope.rcpt_tos.append(address)
        return '250 OK'

    async def handle_DATA(self, server, session, envelope):
        print('message %s -> %s %d' % (envelope.mail_from, ','.join(envelope.rcpt_tos), len(envelope.content)), flush=True)
        return '250 Message accepted for delivery'


async def main(cert, key, refused):
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(cert, key)
    loop = asyncio.get_running_loop()
    server = await loop.create_server(
        lambda: SMTP(Handler(refused), tls_context=context, hostname='mx.test', ident='test'), '127.0.0.1', 0)
    print('port %d' % server.sockets[0].getsockname()[1], flush=True)
    await asyncio.sleep(60)


asyncio.run(main(sys.argv[1], sys.argv[2], sys.argv[3] if len(sys.argv) > 3 else ''))
