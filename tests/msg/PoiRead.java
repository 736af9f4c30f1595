// Reads message files with Apache POI's HSMF and prints, for each, one line
// of JSON with what POI makes of it: subject, sender, recipients, date,
// bodies and attachments, embedded messages read as messages.
//
//   java -cp POI_JARS PoiRead.java FILE.msg...
import java.nio.charset.StandardCharsets;
import java.util.Calendar;
import org.apache.poi.hsmf.MAPIMessage;
import org.apache.poi.hsmf.datatypes.AttachmentChunks;
import org.apache.poi.hsmf.datatypes.ByteChunk;
import org.apache.poi.hsmf.datatypes.RecipientChunks;
import org.apache.poi.hsmf.datatypes.StringChunk;

public class PoiRead {
    static String quote(String s) {
        if (s == null) return "null";
        StringBuilder b = new StringBuilder("\"");
        for (char c : s.toCharArray()) {
            if (c == '"' || c == '\\') b.append('\\').append(c);
            else if (c < 0x20) b.append(String.format("\\u%04x", (int) c));
            else b.append(c);
        }
        return b.append('"').toString();
    }

    static String hex(byte[] bytes) {
        if (bytes == null) return "null";
        StringBuilder b = new StringBuilder("\"");
        for (byte x : bytes) b.append(String.format("%02x", x & 0xff));
        return b.append('"').toString();
    }

    static String text(StringChunk chunk) {
        return chunk == null ? null : chunk.getValue();
    }

    static String message(MAPIMessage m) throws Exception {
        m.setReturnNullOnMissingChunk(true);
        StringBuilder b = new StringBuilder("{");
        b.append("\"subject\":").append(quote(m.getSubject()));
        b.append(",\"from\":").append(quote(m.getDisplayFrom()));
        b.append(",\"from_email\":").append(quote(text(m.getMainChunks().getEmailFromChunk())));
        Calendar date = m.getMessageDate();
        b.append(",\"date\":").append(date == null ? "null" : Long.toString(date.getTimeInMillis() / 1000));
        b.append(",\"body\":").append(quote(m.getTextBody()));
        ByteChunk html = m.getMainChunks().getHtmlBodyChunkBinary();
        b.append(",\"html\":").append(hex(html == null ? null : html.getValue()));
        b.append(",\"recipients\":[");
        RecipientChunks[] recipients = m.getRecipientDetailsChunks();
        for (int i = 0; recipients != null && i < recipients.length; ++i) {
            if (i > 0) b.append(',');
            b.append("{\"name\":").append(quote(recipients[i].getRecipientName()));
            b.append(",\"email\":").append(quote(recipients[i].getRecipientEmailAddress())).append('}');
        }
        b.append("],\"attachments\":[");
        AttachmentChunks[] attachments = m.getAttachmentFiles();
        for (int i = 0; i < attachments.length; ++i) {
            AttachmentChunks a = attachments[i];
            if (i > 0) b.append(',');
            b.append("{\"long\":").append(quote(text(a.getAttachLongFileName())));
            b.append(",\"short\":").append(quote(text(a.getAttachFileName())));
            b.append(",\"mime\":").append(quote(text(a.getAttachMimeTag())));
            b.append(",\"data\":").append(hex(a.getAttachData() == null ? null : a.getAttachData().getValue()));
            b.append(",\"embedded\":").append(a.isEmbeddedMessage() ? message(a.getEmbeddedMessage()) : "null");
            b.append('}');
        }
        return b.append("]}").toString();
    }

    public static void main(String[] args) throws Exception {
        for (String path : args) {
            String line;
            try {
                line = "{\"file\":" + quote(path) + ",\"message\":" + message(new MAPIMessage(path)) + "}";
            } catch (Exception e) {
                line = "{\"file\":" + quote(path) + ",\"error\":" + quote(e.toString()) + "}";
            }
            System.out.write((line + "\n").getBytes(StandardCharsets.UTF_8));
        }
        System.out.flush();
    }
}
