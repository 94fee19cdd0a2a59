// Writes awkward messages into DIR (one file per case) and prints how mailparser (npm), a MIME
// reader nobody here wrote, reads each: one value a line, a key, a blank, the value in base64.
// Usage: node mime_differential.js DIR charset-label...  (NODE_PATH: the test readers)
'use strict';
const fs = require('fs');
const path = require('path');
const iconv = require('iconv-lite');
const { simpleParser } = require('mailparser');

const [dir, ...labels] = process.argv.slice(2);
const b64 = (s) => Buffer.from(s == null ? '' : String(s), 'utf8').toString('base64');
const word = (charset, enc, bytes) =>
  '=?' + charset + '?' + enc + '?' +
  (enc === 'B' ? Buffer.from(bytes).toString('base64')
               : [...Buffer.from(bytes)].map((c) => (c > 0x20 && c < 0x7f && c !== 0x3d &&
                   c !== 0x3f && c !== 0x5f) ? String.fromCharCode(c)
                   : '=' + c.toString(16).toUpperCase().padStart(2, '0')).join('')) + '?=';
const utf8 = (s) => Buffer.from(s, 'utf8');
const latin1 = (s) => Buffer.from(s, 'latin1');

const cases = [];
const add = (name, headers, body = 'x\r\n') => cases.push([name, Buffer.concat([
  Buffer.from('From: Ann <ann@example.org>\r\n'.repeat(/^From:/m.test(headers) ? 0 : 1)),
  Buffer.isBuffer(headers) ? headers : Buffer.from(headers, 'latin1'),
  Buffer.from('\r\n'), Buffer.isBuffer(body) ? body : Buffer.from(body, 'latin1')])]);

// Encoded words of every shape.
const euro = utf8('€');
add('padded-adjacent', 'Subject: ' + word('utf-8', 'B', 'ab') + ' ' + word('utf-8', 'B', 'cd') + '\r\n');
add('split-character', 'Subject: ' + word('utf-8', 'B', euro.subarray(0, 1)) + '\r\n ' +
    word('UTF-8', 'Q', euro.subarray(1)) + ' end\r\n');
add('mixed-charsets', 'Subject: ' + word('iso-8859-1', 'Q', latin1('café')) + ' ' +
    word('koi8-r', 'B', iconv.encode('мир', 'koi8-r')) + ' ' + word('utf-8', 'q', utf8('и ñ')) + '\r\n');
add('words-in-text', 'Subject: Re: [list] ' + word('utf-8', 'Q', utf8('naïve')) + ' and ' +
    word('windows-1252', 'B', iconv.encode('“quoted”', 'windows-1252')) + '!\r\n');
add('iso-2022-jp-split', 'Subject: ' +
    word('ISO-2022-JP', 'B', Buffer.from('\x1b$B$3$s$K$A$O\x1b(B', 'latin1')) + '\r\n\t' +
    word('ISO-2022-JP', 'B', Buffer.from('\x1b$B@$3&\x1b(B', 'latin1')) + '\r\n');
add('legacy-superset-word', 'Subject: ' + word('iso-8859-1', 'Q', latin1('Parhelia\x99 now \x96 available')) + '\r\n');
add('undeclared-utf8', Buffer.concat([Buffer.from('Subject: '), utf8('Grüße aus Köln'), Buffer.from('\r\n')]));
add('folded-long', 'Subject: ' + Array.from({ length: 30 }, (_, i) =>
    word('utf-8', 'B', utf8('Teil ' + i + ' – ü'))).join('\r\n ') + '\r\n');
add('very-long-line', 'Subject: ' + 'long '.repeat(400) + 'end\r\n');
// Address lists: groups, comments, quoted names, encoded names.
add('adjacent-name-words', 'To: ' + word('utf-8', 'B', 'Bo') + ' ' + word('utf-8', 'B', 'bby') + ' <b@example.com>\r\n');
add('quoted-encoded-name', 'To: "' + word('utf-8', 'B', 'Bo') + ' ' + word('utf-8', 'B', 'b') + '" <b@example.com>\r\n');
add('groups-and-quotes', 'To: friends: a@example.com, "Smith, Ann" <ann@example.com>;, c@example.com\r\n' +
    'Cc: "Dr. \\"Who\\"" <who@example.com>, undisclosed-recipients:;\r\n');
add('comments', 'To: d@example.com (Dee Comment), Eve <eve@example.com> (work)\r\n');
add('encoded-name-with-comma', 'From: ' + word('utf-8', 'Q', utf8('Müller, Jörg')) + ' <jm@example.com>\r\n');
add('undeclared-latin1', 'From: Caf\xe9 <cafe@example.com>\r\nSubject: Gr\xfc\xdfe \x96 f\xfcr Sie\r\n');
add('undeclared-8bit-from', Buffer.concat([Buffer.from('From: '), utf8('Jürgen Groß'), Buffer.from(' <jg@example.com>\r\n')]));
// Attachment names.
const attach = (name, disposition, type = 'application/octet-stream') => add(name,
    'Content-Type: multipart/mixed; boundary="b"\r\n',
    '--b\r\nContent-Type: text/plain\r\n\r\nbody\r\n--b\r\nContent-Type: ' + type + '\r\n' +
    'Content-Disposition: ' + disposition + '\r\n\r\ndata\r\n--b--\r\n');
attach('filename-adjacent-words', 'attachment; filename="' + word('utf-8', 'B', 'ab') + ' ' + word('utf-8', 'B', 'cd.bin') + '"');
attach('filename-rfc2231-sections', "attachment; filename*0*=utf-8''na%C3%AF; filename*1*=ve%20r%C3%A9sum%C3%A9.txt");
attach('filename-rfc2231-latin1', "attachment; filename*=iso-8859-1'de'Gr%FC%DFe.txt");
attach('name-on-content-type', 'attachment', 'application/pdf; name="' + word('utf-8', 'Q', utf8('Übersicht.pdf')) + '"');

// Bodies in every charset label: a sample of the script the charset is for, when mailparser's
// iconv-lite knows the label (else the label is left out here).
const samples = ['Grüße – café € ™', 'Привет, мир', 'Καλημέρα κόσμε', 'שלום עולם', 'مرحبا بالعالم',
  'สวัสดีชาวโลก', 'こんにちは世界①', '中文文本测试', '안녕하세요 똠방각하', 'Čeština ąę łódź'];
for (const label of labels) {
  // iconv-lite cannot write ISO-2022-JP; mailparser reads it.
  let sample = /2022jp$|2022-jp$/.test(label) ? Buffer.from('\x1b$B$3$s$K$A$O\x1b(B', 'latin1') : null;
  if (!sample) try {
    for (const s of samples) {
      const bytes = iconv.encode(s, label);
      if (iconv.decode(bytes, label) === s) { sample = bytes; break; }
    }
  } catch (e) { continue; }
  if (!sample) sample = Buffer.from('plain ascii');
  add('body-' + label, 'Content-Type: text/plain; charset=' + label + '\r\n' +
      'Content-Transfer-Encoding: base64\r\n', sample.toString('base64') + '\r\n');
}
for (const label of ['utf-8', 'iso-8859-1', 'shift_jis', 'ks_c_5601-1987', 'iso-8859-9']) {
  const text = { 'utf-8': 'naïve ✓', 'iso-8859-1': 'café €', 'shift_jis': '日本①',
                 'ks_c_5601-1987': '똠방각하', 'iso-8859-9': 'İstanbul ₺'.replace('₺', '€') }[label];
  add('html-' + label, 'Content-Type: text/html; charset=' + label + '\r\n\r\n',
      Buffer.concat([Buffer.from('<p>'), iconv.encode(text, label), Buffer.from('</p>')]));
}

(async () => {
  fs.mkdirSync(dir, { recursive: true });
  const out = [];
  const line = (key, value) => out.push(key + ' ' + b64(value));
  const boxes = (list, key) => {
    for (const a of (list && list.value) || []) {
      for (const m of a.group || [a]) line(key, (m.name || m.address) + ' <' + (m.address || '') + '>');
    }
  };
  for (const [name, bytes] of cases) {
    fs.writeFileSync(path.join(dir, name + '.eml'), bytes);
    const m = await simpleParser(bytes);
    line('case', name);
    line('subject', m.subject);
    boxes(m.from, 'from');
    for (const to of [].concat(m.to || [])) boxes(to, 'to');
    for (const cc of [].concat(m.cc || [])) boxes(cc, 'cc');
    for (const a of m.attachments) line('attachment', a.filename);
    if (m.html) line('html', m.html); else line('text', m.text);
  }
  process.stdout.write(out.join('\n') + '\n');
})();
