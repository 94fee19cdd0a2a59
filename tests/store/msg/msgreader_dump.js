// Reads a .msg file with @kenjiuno/msgreader and prints what a user sees of it, one item a
// line, texts and data hex-encoded (UTF-8): begin, subject, from NAME ADDRESS, to/cc NAME
// ADDRESS, date UNIX-SECONDS, plain, html, attachment NAME DATA, the same again between begin
// and end for an attached message, then end. Usage: node msgreader_dump.js FILE
'use strict';
const fs = require('fs');
const MsgReader = require('@kenjiuno/msgreader').default;

const hex = (text) => Buffer.from(text || '', 'utf8').toString('hex');
const reader = new MsgReader(fs.readFileSync(process.argv[2]));
const out = [];

function print(fields) {
  out.push('begin');
  out.push('subject ' + hex(fields.subject));
  out.push('from ' + hex(fields.senderName) + ' ' + hex(fields.senderSmtpAddress || fields.senderEmail));
  for (const r of fields.recipients || []) {
    if (r.recipType === 'to' || r.recipType === 'cc')
      out.push(r.recipType + ' ' + hex(r.name) + ' ' + hex(r.smtpAddress || r.email));
  }
  if (fields.clientSubmitTime) out.push('date ' + Date.parse(fields.clientSubmitTime) / 1000);
  if (fields.body) out.push('plain ' + hex(fields.body));
  if (fields.html) out.push('html ' + Buffer.from(fields.html).toString('hex'));
  for (const a of fields.attachments || []) {
    if (a.innerMsgContent) {
      print(a.innerMsgContentFields);
    } else {
      const data = reader.getAttachment(a);
      out.push('attachment ' + hex(a.fileName) + ' ' + Buffer.from(data.content).toString('hex'));
    }
  }
  out.push('end');
}

print(reader.getFileData());
fs.writeSync(1, out.join('\n') + '\n');
